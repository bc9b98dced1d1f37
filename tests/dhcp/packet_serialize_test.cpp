#include <gtest/gtest.h>

#include <algorithm>

#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/option_code.hpp"
#include "packet_bytes.hpp"

namespace anvil {
namespace {

DHCPPacket sampleReply() {
    DHCPPacket reply;
    reply.op = 2;
    reply.hops = 1;
    reply.xid = 0xDEADBEEF;
    reply.secs = 7;
    reply.flags = 0x8000;
    reply.ciaddr = IPv4Address(192, 168, 2, 20);
    reply.yiaddr = IPv4Address(192, 168, 2, 10);
    reply.siaddr = IPv4Address(192, 168, 2, 1);
    reply.giaddr = IPv4Address(192, 168, 3, 1);
    reply.chaddr = {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    reply.setOption(OptionCode::messageType, {2});
    reply.setOption(OptionCode::serverID, {192, 168, 2, 1});
    reply.setOption(OptionCode::leaseTime, bigEndianBytes(std::uint32_t{3600}));
    reply.setOption(OptionCode::subnetMask, {255, 255, 255, 0});
    return reply;
}

TEST(PacketSerialize, defaultPacketHasTheDocumentedValues) {
    DHCPPacket packet;
    EXPECT_EQ(packet.op, 1);
    EXPECT_EQ(packet.htype, 1);
    EXPECT_EQ(packet.hlen, 6);
    EXPECT_EQ(packet.hops, 0);
    EXPECT_EQ(packet.xid, 0u);
    EXPECT_EQ(packet.chaddr, Bytes(16, 0));
    EXPECT_TRUE(packet.options.empty());

    auto bytes = packet.serialize();
    ASSERT_EQ(bytes.size(), 241u);
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 4), (Bytes{1, 1, 6, 0}));
    EXPECT_TRUE(std::all_of(bytes.begin() + 4, bytes.begin() + 236, [](auto b) { return b == 0; }));
    EXPECT_EQ(Bytes(bytes.begin() + 236, bytes.end()), (Bytes{99, 130, 83, 99, 255}));
}

TEST(PacketSerialize, writesFieldsInNetworkOrder) {
    auto bytes = sampleReply().serialize();
    EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 28),
              (Bytes{2, 1,  6,   1,   0xDE, 0xAD, 0xBE, 0xEF, 0, 7, 0x80, 0,   192, 168,
                     2, 20, 192, 168, 2,    10,   192,  168,  2, 1, 192,  168, 3,   1}));
    EXPECT_EQ(Bytes(bytes.begin() + 240, bytes.end()),
              (Bytes{53, 1, 2, 54, 4, 192, 168, 2, 1, 51, 4, 0, 0, 0x0E, 0x10, 1, 4, 255, 255, 255, 0, 255}));
}

TEST(PacketSerialize, replyIsPaddedToExactly300Bytes) {
    auto bytes = sampleReply().serialize(DHCPPacket::minimumReplyLength);
    ASSERT_EQ(bytes.size(), 300u);
    // The last option (subnet mask) ends at 240 + 21; then the end byte, then zeros.
    EXPECT_EQ(Bytes(bytes.begin() + 257, bytes.begin() + 261), (Bytes{255, 255, 255, 0}));
    EXPECT_EQ(bytes[261], 255);
    EXPECT_TRUE(std::all_of(bytes.begin() + 262, bytes.end(), [](auto b) { return b == 0; }));
}

TEST(PacketSerialize, isNeverCutToTheMinimumLength) {
    auto packet = sampleReply();
    packet.setOption(OptionCode::vendorSpecific, Bytes(100, 7));
    auto bytes = packet.serialize(DHCPPacket::minimumReplyLength);
    EXPECT_EQ(bytes.size(), 240u + 21 + 102 + 1);
    EXPECT_EQ(bytes.back(), 255);
}

TEST(PacketSerialize, chaddrIsZeroFilledOrCutToSixteenBytes) {
    DHCPPacket packet;
    packet.chaddr = {1, 2, 3};
    auto bytes = packet.serialize();
    EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.begin() + 44), (Bytes{1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    packet.chaddr = Bytes(20, 9);
    bytes = packet.serialize();
    EXPECT_EQ(bytes.size(), 241u);
    EXPECT_EQ(Bytes(bytes.begin() + 28, bytes.begin() + 44), Bytes(16, 9));
    EXPECT_EQ(bytes[44], 0);
}

TEST(PacketSerialize, roundTripsThroughParse) {
    auto reply = sampleReply();
    EXPECT_EQ(DHCPPacket::parse(reply.serialize()), reply);
    EXPECT_EQ(DHCPPacket::parse(reply.serialize(DHCPPacket::minimumReplyLength)), reply);

    // A parsed request encodes to bytes that parse to the same value (sname and file dropped).
    auto request = DHCPPacket::parse(testing::validDiscover());
    EXPECT_EQ(DHCPPacket::parse(request.serialize()), request);
}

TEST(PacketSerialize, setOptionReplacesInPlaceOrAppends) {
    auto packet = sampleReply();
    packet.setOption(OptionCode::serverID, {10, 0, 0, 1});
    packet.setOption(OptionCode::router, {10, 0, 0, 254});
    ASSERT_EQ(packet.options.size(), 5u);
    EXPECT_EQ(packet.options[1], (DHCPOptionField{OptionCode::serverID, {10, 0, 0, 1}}));
    EXPECT_EQ(packet.options[4], (DHCPOptionField{OptionCode::router, {10, 0, 0, 254}}));
    EXPECT_EQ(packet.serverID(), IPv4Address(10, 0, 0, 1));
}

TEST(PacketSerialize, overlongOptionDataKeepsTheFramingSound) {
    DHCPPacket packet;
    packet.setOption(OptionCode::message, Bytes(300, 'x'));
    EXPECT_EQ(packet.option(OptionCode::message)->size(), 255u);

    // Data put straight into the fields is cut on the wire rather than desynchronising what follows.
    packet.options = {{OptionCode::vendorSpecific, Bytes(256, 1)}, {OptionCode::messageType, {5}}};
    auto parsed = DHCPPacket::parse(packet.serialize());
    EXPECT_EQ(parsed.option(OptionCode::vendorSpecific), Bytes(255, 1));
    EXPECT_EQ(parsed.messageType(), DHCPMessageType::ack);
}

TEST(PacketSerialize, fileFieldCarriesANameWithItsClosingNulOnly) {
    constexpr std::size_t fileOffset = 108;
    struct Case {
        const char* name;
        std::string file;
        std::string onWire;  // the field's bytes up to its first NUL
    };
    const Case cases[] = {
        {"short name", "pxelinux.0", "pxelinux.0"},
        {"127 bytes, the longest with its NUL", std::string(127, 'a'), std::string(127, 'a')},
        {"128 bytes left out", std::string(128, 'b'), ""},
        {"empty", "", ""},
    };
    for (const auto& c : cases) {
        auto reply = sampleReply();
        reply.file = c.file;
        auto bytes = reply.serialize();
        ASSERT_GE(bytes.size(), DHCPPacket::headerLength) << c.name;
        EXPECT_EQ(bytes[fileOffset + DHCPPacket::fileFieldLength - 1], 0) << c.name;
        auto field = std::span(bytes).subspan(fileOffset, DHCPPacket::fileFieldLength);
        EXPECT_EQ(std::string(field.begin(), std::find(field.begin(), field.end(), 0)), c.onWire) << c.name;
        // The options still begin where the cookie says.
        EXPECT_EQ(DHCPPacket::parse(bytes).file, c.onWire) << c.name;
        EXPECT_EQ(bytes.size(), reply.encodedLength()) << c.name;
    }
}

TEST(PacketParse, fileFieldIsANameUnlessOptionsOverloadIt) {
    auto withFile = [](std::string_view name, std::initializer_list<std::uint8_t> options) {
        auto bytes = testing::discoverWithOptions(options);
        std::fill(bytes.begin() + 108, bytes.begin() + 236, 0);
        std::copy(name.begin(), name.end(), bytes.begin() + 108);
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes bytes;
        std::string file;
    };
    const Case cases[] = {
        {"plain name", withFile("boot.ipxe", {53, 1, 1, 255}), "boot.ipxe"},
        {"whole field without a NUL is no name", withFile(std::string(128, 'z'), {53, 1, 1, 255}), ""},
        {"file overloaded", withFile("\x03\x01\x02", {53, 1, 1, 52, 1, 1, 255}), ""},
        {"sname overloaded only", withFile("k", {53, 1, 1, 52, 1, 2, 255}), "k"},
        {"both overloaded", withFile("k", {53, 1, 1, 52, 1, 3, 255}), ""},
        {"malformed overload ignored", withFile("k", {53, 1, 1, 52, 2, 1, 1, 255}), "k"},
    };
    for (const auto& c : cases) EXPECT_EQ(DHCPPacket::parse(c.bytes).file, c.file) << c.name;
}

}  // namespace
}  // namespace anvil
