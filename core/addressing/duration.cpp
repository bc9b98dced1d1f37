#include "core/addressing/duration.hpp"

#include <vector>

namespace anvil {

std::optional<std::uint32_t> parseDuration(std::string_view text) {
    if (text.empty()) return std::nullopt;
    std::uint64_t multiplier = 1;
    switch (text.back()) {
        case 's': multiplier = 1; break;
        case 'm': multiplier = 60; break;
        case 'h': multiplier = 3600; break;
        case 'd': multiplier = 86400; break;
        default: multiplier = 0; break;
    }
    auto number = multiplier == 0 ? text : text.substr(0, text.size() - 1);
    if (multiplier == 0) multiplier = 1;
    if (number.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : number) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (value > UINT32_MAX / multiplier) return std::nullopt;
    return static_cast<std::uint32_t>(value * multiplier);
}

std::string formatDuration(std::uint32_t seconds) {
    if (seconds >= 172800 && seconds % 86400 == 0) return std::to_string(seconds / 86400) + " d";
    std::vector<std::string> parts;
    if (seconds >= 3600) parts.push_back(std::to_string(seconds / 3600) + " h");
    if (seconds % 3600 >= 60) parts.push_back(std::to_string(seconds % 3600 / 60) + " m");
    if (seconds % 60 != 0 || parts.empty()) parts.push_back(std::to_string(seconds % 60) + " s");
    if (parts.size() > 2) parts.resize(2);
    return parts.size() == 1 ? parts[0] : parts[0] + " " + parts[1];
}

}  // namespace anvil
