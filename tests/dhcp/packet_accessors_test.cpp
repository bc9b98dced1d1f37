#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/dhcp/dhcp_message_type.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/option_code.hpp"

namespace anvil {
namespace {

DHCPPacket withOption(std::uint8_t code, Bytes data) {
    DHCPPacket packet;
    packet.options.push_back({code, std::move(data)});
    return packet;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

TEST(DHCPMessageType, hasRawValuesAndNames) {
    struct Case {
        DHCPMessageType type;
        std::uint8_t raw;
        const char* name;
    };
    const Case cases[] = {
        {DHCPMessageType::discover, 1, "DISCOVER"}, {DHCPMessageType::offer, 2, "OFFER"},
        {DHCPMessageType::request, 3, "REQUEST"},   {DHCPMessageType::decline, 4, "DECLINE"},
        {DHCPMessageType::ack, 5, "ACK"},           {DHCPMessageType::nak, 6, "NAK"},
        {DHCPMessageType::release, 7, "RELEASE"},   {DHCPMessageType::inform, 8, "INFORM"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(rawValue(c.type), c.raw);
        EXPECT_EQ(description(c.type), c.name);
        EXPECT_EQ(messageTypeFromRaw(c.raw), c.type);
    }
    EXPECT_EQ(messageTypeFromRaw(0), std::nullopt);
    EXPECT_EQ(messageTypeFromRaw(9), std::nullopt);
    EXPECT_EQ(messageTypeFromRaw(255), std::nullopt);
}

TEST(PacketAccessors, messageTypeNeedsExactlyOneKnownByte) {
    EXPECT_EQ(DHCPPacket().messageType(), std::nullopt);
    EXPECT_EQ(withOption(OptionCode::messageType, {1}).messageType(), DHCPMessageType::discover);
    EXPECT_EQ(withOption(OptionCode::messageType, {8}).messageType(), DHCPMessageType::inform);
    for (const Bytes& data : {Bytes{}, Bytes{0}, Bytes{9}, Bytes{3, 3}, Bytes{1, 0}}) {
        EXPECT_EQ(withOption(OptionCode::messageType, data).messageType(), std::nullopt) << data.size();
    }
}

TEST(PacketAccessors, macNeedsAnEthernetLength) {
    DHCPPacket packet;
    packet.chaddr = {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(packet.mac(), MACAddress::parse("aa:bb:cc:dd:ee:ff"));
    packet.hlen = 16;
    EXPECT_EQ(packet.mac(), std::nullopt);
    packet.hlen = 6;
    packet.chaddr = {1, 2, 3, 4, 5};
    EXPECT_EQ(packet.mac(), std::nullopt);
}

TEST(PacketAccessors, textOptionsAreRenderedPrintableAndCutAt64) {
    struct Case {
        Bytes data;
        std::string expected;
    };
    const Case cases[] = {
        {text("bench-device"), "bench-device"},
        {Bytes(70, 'a'), std::string(64, 'a')},
        {{'a', 'b', 0x07}, "ab\\x07"},
        {[] {
             auto b = Bytes(62, 'n');
             b.push_back(0x01);
             return b;
         }(),
         std::string(62, 'n')},
        {[] {
             auto b = Bytes(60, 'n');
             b.push_back(0x01);
             return b;
         }(),
         std::string(60, 'n') + "\\x01"},
        {{}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(withOption(OptionCode::hostname, c.data).hostname(), c.expected);
        EXPECT_EQ(withOption(OptionCode::vendorClass, c.data).vendorClass(), c.expected);
    }
    EXPECT_EQ(DHCPPacket().hostname(), std::nullopt);
    EXPECT_EQ(DHCPPacket().vendorClass(), std::nullopt);
}

TEST(PacketAccessors, readTheFirstOfRepeatedOptions) {
    DHCPPacket packet;
    packet.options = {{OptionCode::hostname, text("first")}, {OptionCode::hostname, text("second")}};
    EXPECT_EQ(packet.hostname(), "first");
    EXPECT_EQ(packet.option(OptionCode::hostname), text("first"));
    EXPECT_EQ(packet.option(OptionCode::router), std::nullopt);
}

TEST(PacketAccessors, printableEscapesAndNeverSplitsAnEscape) {
    struct Case {
        Bytes data;
        std::size_t limit;
        std::string expected;
    };
    const Case cases[] = {
        {{0x20, 0x7e, 0x1f, 0x7f, 0xff, 0x00}, 100, " ~\\x1f\\x7f\\xff\\x00"},
        {{'a', 0x80}, 5, "a\\x80"},  // exactly at the limit
        {{'a', 0x80}, 4, "a"},
        {{'a', 'b', 'c'}, 2, "ab"},
        {{'a'}, 0, ""},
        {{}, 10, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(DHCPPacket::printable(c.data, c.limit), c.expected);
}

TEST(PacketAccessors, clientIDIsLowerCaseHexPairs) {
    EXPECT_EQ(withOption(OptionCode::clientID, {1, 0, 26}).clientID(), "01:00:1a");
    EXPECT_EQ(withOption(OptionCode::clientID, {0xAB}).clientID(), "ab");
    EXPECT_EQ(withOption(OptionCode::clientID, {}).clientID(), "");
    EXPECT_EQ(DHCPPacket().clientID(), std::nullopt);
}

TEST(PacketAccessors, addressOptionsNeedExactlyFourBytes) {
    EXPECT_EQ(withOption(OptionCode::requestedIP, {192, 168, 2, 10}).requestedIP(), IPv4Address(192, 168, 2, 10));
    EXPECT_EQ(withOption(OptionCode::serverID, {192, 168, 2, 1}).serverID(), IPv4Address(192, 168, 2, 1));
    for (const Bytes& data : {Bytes{}, Bytes{192, 168, 2}, Bytes{192, 168, 2, 10, 0}}) {
        EXPECT_EQ(withOption(OptionCode::requestedIP, data).requestedIP(), std::nullopt);
        EXPECT_EQ(withOption(OptionCode::serverID, data).serverID(), std::nullopt);
    }
    EXPECT_EQ(DHCPPacket().requestedIP(), std::nullopt);
}

}  // namespace
}  // namespace anvil
