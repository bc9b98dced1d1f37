#include "core/addressing/mac_address.hpp"

#include <algorithm>

#include "core/addressing/text_pieces.hpp"

namespace anvil {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

std::optional<MACAddress> MACAddress::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 6) return std::nullopt;
    MACAddress mac;
    std::copy(bytes.begin(), bytes.end(), mac.bytes.begin());
    return mac;
}

std::optional<MACAddress> MACAddress::parse(std::string_view text) {
    auto pieces = splitText(text, ':', EmptyPieces::keep);
    if (pieces.size() != 6) return std::nullopt;
    MACAddress mac;
    for (std::size_t i = 0; i < 6; ++i) {
        if (pieces[i].size() != 2) return std::nullopt;
        int high = hexValue(pieces[i][0]);
        int low = hexValue(pieces[i][1]);
        if (high < 0 || low < 0) return std::nullopt;
        mac.bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return mac;
}

// Written digit by digit: every event and log line names a device, and snprintf's parsing
// of the format was a measurable part of each exchange.
std::string MACAddress::description() const {
    constexpr char digits[] = "0123456789abcdef";
    std::string text(17, ':');
    for (std::size_t i = 0; i < 6; ++i) {
        text[i * 3] = digits[bytes[i] >> 4];
        text[i * 3 + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

}  // namespace anvil
