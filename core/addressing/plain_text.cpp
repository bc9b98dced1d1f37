#include "core/addressing/plain_text.hpp"

#include <cstdio>

namespace anvil {

namespace {

// The length of the well-formed UTF-8 sequence of two or more bytes at `at`, or 0.
std::size_t sequenceLength(std::string_view text, std::size_t at) {
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    std::uint32_t lowest = 0;
    if ((lead & 0xE0) == 0xC0)
        length = 2, lowest = 0x80;
    else if ((lead & 0xF0) == 0xE0)
        length = 3, lowest = 0x800;
    else if ((lead & 0xF8) == 0xF0)
        length = 4, lowest = 0x10000;
    if (length == 0 || at + length > text.size()) return 0;
    std::uint32_t point = lead & (0x3F >> (length - 1));
    for (std::size_t k = 1; k < length; ++k) {
        auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xC0) != 0x80) return 0;
        point = (point << 6) | (next & 0x3F);
    }
    // U+0080 to U+009F are the C1 controls: refused, so each of their bytes is shown escaped.
    bool control = point <= 0x9F;
    if (point < lowest || point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF) || control) return 0;
    return length;
}

}  // namespace

void appendEscapedByte(std::string& text, std::uint8_t byte) {
    char piece[5];
    std::snprintf(piece, sizeof piece, "\\x%02x", byte);
    text.append(piece, 4);
}

std::string plainText(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    std::size_t at = 0;
    while (at < text.size()) {
        auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x20 && byte < 0x7F) {
            shown += static_cast<char>(byte);
            ++at;
        } else if (auto length = byte >= 0x80 ? sequenceLength(text, at) : 0) {
            shown.append(text.substr(at, length));
            at += length;
        } else {
            appendEscapedByte(shown, byte);
            ++at;
        }
    }
    return shown;
}

}  // namespace anvil
