#include "core/addressing/ipv4_address.hpp"

#include <cstdio>

#include "core/addressing/text_pieces.hpp"

namespace anvil {

std::optional<IPv4Address> IPv4Address::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != 4) return std::nullopt;
    return IPv4Address{bytes[0], bytes[1], bytes[2], bytes[3]};
}

std::optional<IPv4Address> IPv4Address::parse(std::string_view text) {
    auto pieces = splitText(text, '.', EmptyPieces::keep);
    if (pieces.size() != 4) return std::nullopt;
    std::uint32_t value = 0;
    for (auto piece : pieces) {
        if (piece.empty() || piece.size() > 3) return std::nullopt;
        unsigned number = 0;
        for (char c : piece) {
            if (c < '0' || c > '9') return std::nullopt;
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (number > 255) return std::nullopt;
        value = (value << 8) | number;
    }
    return IPv4Address{value};
}

std::string IPv4Address::description() const {
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFF, (value >> 8) & 0xFF,
                  value & 0xFF);
    return text;
}

}  // namespace anvil
