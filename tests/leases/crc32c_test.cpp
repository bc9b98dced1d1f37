#include "core/leases/crc32c.hpp"

#include <gtest/gtest.h>

#include <string>

namespace anvil {
namespace {

// The bytewise definition, as journals already on disk were checked.
std::uint32_t bytewise(std::string_view bytes) {
    std::uint32_t value = 0xFFFFFFFFu;
    for (unsigned char byte : bytes) {
        value ^= byte;
        for (int bit = 0; bit < 8; ++bit) value = (value >> 1) ^ (0x82F63B78u & (0u - (value & 1u)));
    }
    return value ^ 0xFFFFFFFFu;
}

TEST(Crc32c, everyWayGivesTheBytewiseValueAtEveryLengthAndAlignment) {
    EXPECT_EQ(crc32c("123456789"), 0xE3069283u);  // the published check value
    std::string bytes;
    for (int index = 0; index < 300; ++index) bytes += static_cast<char>((index * 131 + 7) & 0xFF);
    for (std::size_t start = 0; start < 9; ++start)
        for (std::size_t length = 0; start + length <= 100; ++length) {
            std::string_view piece(bytes.data() + start, length);
            ASSERT_EQ(crc32c(piece), bytewise(piece)) << start << "+" << length;
            ASSERT_EQ(crc32cPortable(piece), bytewise(piece)) << start << "+" << length;
        }
}

}  // namespace
}  // namespace anvil
