#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/packet_error.hpp"
#include "packet_bytes.hpp"

namespace anvil {
namespace {

using testing::discoverWithOptions;
using testing::validDiscover;

PacketError parseError(const Bytes& bytes) {
    try {
        DHCPPacket::parse(bytes);
    } catch (const PacketError& error) {
        return error;
    }
    ADD_FAILURE() << "parsed without an error";
    return PacketError::badMagicCookie();
}

TEST(PacketParse, readsEveryFixedFieldFromItsOffset) {
    auto packet = DHCPPacket::parse(validDiscover());
    EXPECT_EQ(packet.op, 1);
    EXPECT_EQ(packet.htype, 1);
    EXPECT_EQ(packet.hlen, 6);
    EXPECT_EQ(packet.hops, 2);
    EXPECT_EQ(packet.xid, 0x12345678u);
    EXPECT_EQ(packet.secs, 0x0102);
    EXPECT_EQ(packet.flags, 0x8000);
    EXPECT_EQ(packet.ciaddr, IPv4Address(10, 0, 0, 1));
    EXPECT_EQ(packet.yiaddr, IPv4Address(10, 0, 0, 2));
    EXPECT_EQ(packet.siaddr, IPv4Address(10, 0, 0, 3));
    EXPECT_EQ(packet.giaddr, IPv4Address(10, 0, 0, 4));
    Bytes chaddr;
    for (std::uint8_t i = 0; i < 16; ++i) chaddr.push_back(static_cast<std::uint8_t>(0xA0 + i));
    EXPECT_EQ(packet.chaddr, chaddr);
    EXPECT_EQ(packet.options, (std::vector<DHCPOptionField>{{53, {1}}, {12, {'b', 'e', 'n', 'c', 'h'}}}));
}

TEST(PacketParse, needsTheHeaderAndCookie) {
    for (std::size_t length : {0, 1, 236, 239}) {
        auto bytes = discoverWithOptions({});
        bytes.resize(length);
        EXPECT_EQ(parseError(bytes), PacketError::tooShort(length)) << length;
    }
    auto packet = DHCPPacket::parse(discoverWithOptions({}));
    EXPECT_TRUE(packet.options.empty());
}

TEST(PacketParse, rejectsAnyWrongCookieByteEvenWithSoundOptions) {
    for (std::size_t offset = 236; offset < 240; ++offset) {
        auto bytes = validDiscover();
        bytes[offset] ^= 0x01;
        EXPECT_EQ(parseError(bytes), PacketError::badMagicCookie()) << offset;
    }
}

TEST(PacketParse, failsOnOptionsThatRunPastTheEnd) {
    struct Case {
        std::vector<std::uint8_t> options;
        std::uint8_t code;
    };
    const Case cases[] = {
        {{53}, 53},                       // code is the last byte
        {{53, 1, 1, 0, 0, 7}, 7},         // after pads, still the last byte
        {{53, 1}, 53},                    // length but no data
        {{12, 5, 'a', 'b'}, 12},          // data cut short
        {{53, 1, 1, 61, 255, 1, 2}, 61},  // a length of 255 is a length, not an end
    };
    for (const auto& c : cases) {
        auto bytes = discoverWithOptions({});
        bytes.insert(bytes.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(parseError(bytes), PacketError::optionOverrun(c.code)) << int(c.code);
    }
}

TEST(PacketParse, scansOptionsUpToTheEndOption) {
    struct Case {
        std::vector<std::uint8_t> options;
        std::vector<DHCPOptionField> expected;
    };
    const Case cases[] = {
        {{0, 0, 53, 1, 3, 0, 54, 4, 10, 0, 0, 1, 255}, {{53, {3}}, {54, {10, 0, 0, 1}}}},  // pads skipped
        {{53, 1, 3, 255, 12, 200, 1}, {{53, {3}}}},  // what follows the end is never read
        {{53, 1, 3, 255, 0, 0, 0}, {{53, {3}}}},
        {{53, 1, 3}, {{53, {3}}}},  // no end option
        {{255}, {}},
        {{0, 0, 0}, {}},
        {{60, 0, 255}, {{60, {}}}},                              // zero-length option kept
        {{12, 1, 'a', 12, 1, 'b'}, {{12, {'a'}}, {12, {'b'}}}},  // repeats kept, not joined
        {{52, 1, 3, 200, 2, 9, 9}, {{52, {3}}, {200, {9, 9}}}},  // overload and unknown codes are plain fields
    };
    for (const auto& c : cases) {
        auto bytes = discoverWithOptions({});
        bytes.insert(bytes.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(DHCPPacket::parse(bytes).options, c.expected);
    }
}

TEST(PacketParse, keepsAllOfChaddrAndIgnoresSnameAndFile) {
    auto bytes = discoverWithOptions({255});
    bytes[2] = 2;                                  // hlen is not checked
    bytes[44] = 63, bytes[45] = 4, bytes[46] = 1;  // option-like bytes in sname
    auto packet = DHCPPacket::parse(bytes);
    EXPECT_EQ(packet.hlen, 2);
    EXPECT_EQ(packet.chaddr.size(), 16u);
    EXPECT_TRUE(packet.options.empty());
}

TEST(PacketError, describesEachCase) {
    EXPECT_EQ(PacketError::tooShort(239).description(), "too short (239 bytes)");
    EXPECT_EQ(PacketError::tooShort(0).description(), "too short (0 bytes)");
    EXPECT_EQ(PacketError::optionOverrun(53).description(), "option 53 runs past the end");
    EXPECT_EQ(PacketError::optionOverrun(255).description(), "option 255 runs past the end");
    EXPECT_EQ(PacketError::badMagicCookie().description(), "bad magic cookie");

    EXPECT_EQ(PacketError::tooShort(239).kind(), PacketError::Kind::tooShort);
    EXPECT_EQ(PacketError::tooShort(239).length(), 239u);
    EXPECT_EQ(PacketError::optionOverrun(7).code(), 7);
    EXPECT_NE(PacketError::tooShort(239), PacketError::tooShort(238));
    EXPECT_NE(PacketError::optionOverrun(1), PacketError::optionOverrun(2));

    try {
        DHCPPacket::parse(Bytes(10, 0));
        FAIL();
    } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "too short (10 bytes)");
    }
}

}  // namespace
}  // namespace anvil
