#include "core/leases/crc32c.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
#include <nmmintrin.h>
#endif

namespace anvil {

namespace {

constexpr std::uint32_t polynomial = 0x82F63B78u;  // reflected

// tables[k][b]: the CRC of byte b followed by k zero bytes.
using Tables = std::array<std::array<std::uint32_t, 256>, 8>;

Tables makeTables() {
    Tables tables{};
    for (std::uint32_t index = 0; index < 256; ++index) {
        std::uint32_t value = index;
        for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ (polynomial & (0u - (value & 1u)));
        tables[0][index] = value;
    }
    for (std::uint32_t index = 0; index < 256; ++index)
        for (std::size_t k = 1; k < 8; ++k)
            tables[k][index] = (tables[k - 1][index] >> 8) ^ tables[0][tables[k - 1][index] & 0xFF];
    return tables;
}

const Tables tables = makeTables();

std::uint64_t loadLittleEndian64(const unsigned char* at) {
    std::uint64_t value = 0;
    for (int index = 7; index >= 0; --index) value = (value << 8) | at[index];
    return value;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) std::uint32_t crc32cInstruction(std::string_view bytes) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    std::uint64_t value = 0xFFFFFFFFu;
    for (; left >= 8; left -= 8, at += 8) {
        std::uint64_t word;
        std::memcpy(&word, at, 8);  // x86 is little-endian, as the CRC reads bytes
        value = _mm_crc32_u64(value, word);
    }
    auto narrow = static_cast<std::uint32_t>(value);
    for (; left > 0; --left, ++at) narrow = _mm_crc32_u8(narrow, *at);
    return narrow ^ 0xFFFFFFFFu;
}

bool hasInstruction() {
    static const bool has = __builtin_cpu_supports("sse4.2");
    return has;
}
#endif

}  // namespace

std::uint32_t crc32cPortable(std::string_view bytes) {
    const auto* at = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t left = bytes.size();
    std::uint32_t value = 0xFFFFFFFFu;
    for (; left >= 8; left -= 8, at += 8) {
        std::uint64_t word = loadLittleEndian64(at) ^ value;
        value = tables[7][word & 0xFF] ^ tables[6][(word >> 8) & 0xFF] ^ tables[5][(word >> 16) & 0xFF] ^
                tables[4][(word >> 24) & 0xFF] ^ tables[3][(word >> 32) & 0xFF] ^ tables[2][(word >> 40) & 0xFF] ^
                tables[1][(word >> 48) & 0xFF] ^ tables[0][word >> 56];
    }
    for (; left > 0; --left, ++at) value = tables[0][(value ^ *at) & 0xFF] ^ (value >> 8);
    return value ^ 0xFFFFFFFFu;
}

std::uint32_t crc32c(std::string_view bytes) {
#if defined(__x86_64__)
    if (hasInstruction()) return crc32cInstruction(bytes);
#endif
    return crc32cPortable(bytes);
}

}  // namespace anvil
