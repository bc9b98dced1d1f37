#include "core/addressing/user_option_text.hpp"

namespace anvil {

UserOptionReading readUserOption(std::string_view, std::string_view, std::string_view, bool) {
    return {std::nullopt, "Options cannot be read yet."};
}

std::string matchText(const OptionMatch& match) { return match.value; }

std::string optionText(std::uint8_t code) { return std::to_string(code); }

std::string valueText(const UserOption&) { return {}; }

std::vector<OptionPreset> optionPresets() { return {}; }

PresetReading applyPreset(std::string_view, std::string_view, IPv4Address) { return {{}, "No presets yet."}; }

}  // namespace anvil
