#include "core/addressing/mac_address.hpp"

#include <algorithm>
#include <cstdio>

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

std::string MACAddress::description() const {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", bytes[0], bytes[1], bytes[2], bytes[3], bytes[4],
                  bytes[5]);
    return text;
}

}  // namespace anvil
