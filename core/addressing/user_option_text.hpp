#pragma once
// A user option read from the words a person typed, shown back the same way, and the named presets.
//
// A match is "all" (or empty) for every device, "mac=aa:bb:cc:dd:ee:ff" for one device,
// "maker=aa:bb:cc" for the first three bytes of the hardware address, "vendor=PREFIX" for a vendor
// class (option 60) that begins with PREFIX, "user=CLASS" for a user class (option 77) that is
// CLASS, and "boot=KIND" for a boot kind's raw name ("uboot", "efi-x64", ...).
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

// match: empty for every device, else as matchText writes it; option: a name or a number 1-254
// (or "42 (NTP Servers)" as optionText writes it); value: typed by the option's known format, or
// hexadecimal bytes. Codes no user option may carry are refused here already.
UserOptionReading readUserOption(std::string_view match, std::string_view option, std::string_view value, bool always);
// The command line's "[MATCH:]CODE=VALUE": the match ends at the colon before the option.
UserOptionReading readUserOptionArgument(std::string_view text, bool always);
std::string matchText(const OptionMatch& match);
std::string optionText(std::uint8_t code);
std::string valueText(const UserOption& option);
// Why a device got the option, for notes: "vendor class APC", "every device".
std::string matchDescription(const OptionMatch& match);

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
// The name ignores case and takes "-" for a space ("ntp-server").
PresetReading applyPreset(std::string_view name, std::string_view value, IPv4Address serverIP);

}  // namespace anvil
