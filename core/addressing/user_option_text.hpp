#pragma once
// A user option read from the words a person typed, shown back the same way, and the named presets.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/user_option.hpp"

namespace anvil {

struct UserOptionReading {
    std::optional<UserOption> option;
    // Why not, in a sentence, when option is empty.
    std::string error;
};

// match: empty for every device, else as matchText writes it; option: a name or a number 1-254;
// value: typed by the option's known format, or hexadecimal bytes.
UserOptionReading readUserOption(std::string_view match, std::string_view option, std::string_view value, bool always);
std::string matchText(const OptionMatch& match);
std::string optionText(std::uint8_t code);
std::string valueText(const UserOption& option);

struct OptionPreset {
    std::string name;
    // What the one value a template asks for is; empty when the preset needs none.
    std::string valuePrompt;
};
std::vector<OptionPreset> optionPresets();

struct PresetReading {
    std::vector<UserOption> options;
    std::string error;
};
PresetReading applyPreset(std::string_view name, std::string_view value, IPv4Address serverIP);

}  // namespace anvil
