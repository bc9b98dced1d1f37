#include "core/addressing/ipv4_address.hpp"


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

// Written digit by digit, as a MAC address's is: each event names an address or two.
std::string IPv4Address::description() const {
    std::string text;
    text.reserve(15);
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned part = (value >> shift) & 0xFF;
        if (part >= 100) text.push_back(static_cast<char>('0' + part / 100));
        if (part >= 10) text.push_back(static_cast<char>('0' + part / 10 % 10));
        text.push_back(static_cast<char>('0' + part % 10));
        if (shift > 0) text.push_back('.');
    }
    return text;
}

}  // namespace anvil
