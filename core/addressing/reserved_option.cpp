#include "core/addressing/reserved_option.hpp"

#include <algorithm>

#include "core/addressing/option_format.hpp"
#include "core/addressing/server_config.hpp"

namespace anvil {

namespace {

constexpr std::uint8_t serverWorksOut[] = {1, 28, 51, 53, 54, 56, 58, 59};
constexpr std::uint8_t devicesSend[] = {50, 55, 57, 60, 61, 77, 93, 94, 97};
constexpr std::uint8_t notUsed[] = {52, 80};

template <std::size_t count>
bool among(const std::uint8_t (&codes)[count], std::uint8_t code) {
    return std::find(std::begin(codes), std::end(codes), code) != std::end(codes);
}

}  // namespace

std::optional<std::string> reservedOptionReason(std::uint8_t code) {
    if (code == 0) return "Option 0 is padding, not an option.";
    if (code == 255) return "Option 255 marks the end of the options.";
    auto label = optionLabel(code);
    if (among(serverWorksOut, code)) return label + " is set by the server itself.";
    if (among(devicesSend, code)) return label + " is sent by devices, not by the server.";
    if (among(notUsed, code)) return label + " is not supported.";
    return std::nullopt;
}

std::optional<std::string> reservedOptionReason(std::uint8_t code, const ServerConfig& config) {
    if (auto reason = reservedOptionReason(code)) return reason;
    auto label = optionLabel(code);
    if (code == 3 && config.router) return label + " is set by the router setting.";
    if (code == 6 && !config.dns.empty()) return label + " is set by the DNS setting.";
    if ((code == 66 || code == 67) && config.boot) return label + " is set by network boot.";
    return std::nullopt;
}

}  // namespace anvil
