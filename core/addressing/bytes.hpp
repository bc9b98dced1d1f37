#pragma once
// Byte buffers and the big-endian encoding of fixed-width integers.
#include <cstdint>
#include <vector>

namespace anvil {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bigEndianBytes(std::uint16_t value) {
    return {static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

inline Bytes bigEndianBytes(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value >> 24), static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 8), static_cast<std::uint8_t>(value)};
}

}  // namespace anvil
