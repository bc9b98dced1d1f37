#include <gtest/gtest.h>

#include <cstring>

#include "core/host/arp_table.hpp"
#include "core/host/linux/host_values.hpp"
#include "core/host/prober.hpp"

namespace anvil {
namespace {

// One BSD routing message: 92-byte header, an IPv4 record, a link-layer record.
Bytes routingMessage(IPv4Address ip, std::optional<MACAddress> mac, std::uint8_t nameLength = 0,
                     std::uint8_t inetLength = 16) {
    Bytes message(92, 0);
    Bytes inet(inetLength == 0 ? 4 : (inetLength + 3) / 4 * 4, 0);
    inet[0] = inetLength;
    if (inet.size() > 1) inet[1] = 2;
    if (inet.size() >= 8) {
        auto bytes = ip.bytes();
        std::copy(bytes.begin(), bytes.end(), inet.begin() + 4);
    }
    message.insert(message.end(), inet.begin(), inet.end());
    Bytes link(20, 0);
    link[0] = 20;
    link[1] = 18;
    link[5] = nameLength;
    link[6] = mac ? 6 : 0;
    for (std::uint8_t i = 0; i < nameLength; ++i) link.insert(link.begin() + 8, 'e');
    if (mac) std::copy(mac->bytes.begin(), mac->bytes.end(), link.begin() + 8 + nameLength);
    message.insert(message.end(), link.begin(), link.end());
    auto length = static_cast<std::uint16_t>(message.size());
    std::memcpy(message.data(), &length, 2);
    return message;
}

Bytes joined(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

template <typename T>
void put(Bytes& bytes, T value) {
    auto at = bytes.size();
    bytes.resize(at + sizeof value);
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

void pad(Bytes& bytes) {
    while (bytes.size() % 4) bytes.push_back(0);
}

Bytes attribute(std::uint16_t type, const Bytes& payload) {
    Bytes bytes;
    put(bytes, static_cast<std::uint16_t>(4 + payload.size()));
    put(bytes, type);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    pad(bytes);
    return bytes;
}

Bytes netlinkMessage(std::uint16_t type, const Bytes& body) {
    Bytes bytes;
    put(bytes, static_cast<std::uint32_t>(16 + body.size()));
    put(bytes, type);
    put(bytes, std::uint16_t{2});  // NLM_F_MULTI
    put(bytes, std::uint32_t{1});
    put(bytes, std::uint32_t{0});
    bytes.insert(bytes.end(), body.begin(), body.end());
    pad(bytes);
    return bytes;
}

Bytes neighbour(std::uint8_t family, std::uint16_t state, std::optional<IPv4Address> ip, Bytes linkAddress) {
    Bytes body{family, 0, 0, 0};
    put(body, std::int32_t{3});
    put(body, state);
    body.push_back(0);
    body.push_back(1);
    if (ip) body = joined({body, attribute(1, ip->bytes())});
    if (!linkAddress.empty()) body = joined({body, attribute(2, linkAddress)});
    return netlinkMessage(28, body);
}

const MACAddress macA = *MACAddress::parse("00:11:22:33:44:55");
const MACAddress macB = *MACAddress::parse("aa:bb:cc:dd:ee:ff");
const IPv4Address ipA(192, 168, 0, 10), ipB(192, 168, 0, 11);

TEST(ARPTableTest, parsesRoutingMessagesSkippingBadOnes) {
    auto dump = joined({routingMessage(ipA, macA), routingMessage(ipB, std::nullopt), routingMessage(ipB, macA, 3),
                        routingMessage(ipA, macB)});
    auto table = ARPTable::parse(dump);
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table.at(ipA), macB);  // the later entry replaces the earlier
    EXPECT_EQ(table.at(ipB), macA);  // the interface name before the address is skipped
}

TEST(ARPTableTest, routingDumpStopsOnTruncationAndSkipsShortOrForeignMessages) {
    auto truncated = routingMessage(ipA, macA);
    truncated.resize(truncated.size() - 1);
    EXPECT_TRUE(ARPTable::parse(truncated).empty());

    Bytes shortMessage(96, 0);
    std::uint16_t length = 96;
    std::memcpy(shortMessage.data(), &length, 2);
    auto ipv6 = routingMessage(ipA, macA);
    ipv6[93] = 30;
    auto table = ARPTable::parse(joined({shortMessage, ipv6, routingMessage(ipB, macB)}));
    EXPECT_EQ(table.size(), 1u);
    EXPECT_EQ(table.at(ipB), macB);

    EXPECT_TRUE(ARPTable::parse(Bytes{0, 0, 1, 2}).empty());
    EXPECT_TRUE(ARPTable::parse(Bytes{7}).empty());
    // A zero-length first record counts as four bytes, which leaves no IPv4 address: skipped, not a crash.
    EXPECT_TRUE(ARPTable::parse(routingMessage(ipA, macA, 0, 0)).empty());
}

TEST(ARPTableTest, parsesNeighbourDumpKeepingUsableIPv4Entries) {
    Bytes macBytes(macA.bytes.begin(), macA.bytes.end());
    Bytes otherBytes(macB.bytes.begin(), macB.bytes.end());
    auto dump = joined({
        neighbour(2, 0x02, ipA, macBytes),                                          // reachable
        neighbour(2, 0x40, IPv4Address(224, 0, 0, 22), Bytes{1, 0, 94, 0, 0, 22}),  // NOARP multicast
        neighbour(2, 0x01, ipB, {}),                                                // incomplete
        neighbour(2, 0x20, ipB, otherBytes),                                        // failed
        neighbour(10, 0x02, std::nullopt, macBytes),                                // IPv6
        neighbour(2, 0x04, IPv4Address(10, 0, 0, 1), Bytes{1, 2, 3, 4}),            // not a six-byte address
        neighbour(2, 0x04, ipB, otherBytes),                                        // stale still answers
        netlinkMessage(3, Bytes{0, 0, 0, 0}),                                       // done
        neighbour(2, 0x02, IPv4Address(10, 9, 9, 9), macBytes),                     // after the end
    });
    auto table = ARPTable::parseNeighbours(dump);
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(table.at(ipA), macA);
    EXPECT_EQ(table.at(ipB), macB);

    auto cut = neighbour(2, 0x02, ipA, macBytes);
    cut.resize(cut.size() - 4);
    EXPECT_TRUE(ARPTable::parseNeighbours(cut).empty());
}

TEST(LinuxHostTest, parsesAddressDumpWithPermanentFlag) {
    auto address = [](std::uint8_t prefix, std::uint8_t flags, std::int32_t index, Bytes attributes) {
        Bytes body{2, prefix, flags, 0};
        put(body, index);
        return netlinkMessage(20, joined({body, attributes}));
    };
    Bytes flags32;
    put(flags32, std::uint32_t{0x80});
    auto dump = joined({
        address(24, 0x80, 4,
                joined({attribute(1, IPv4Address(192, 168, 0, 1).bytes()),
                        attribute(2, IPv4Address(192, 168, 0, 1).bytes())})),
        address(8, 0x00, 5, attribute(2, IPv4Address(10, 0, 0, 7).bytes())),
        address(32, 0x00, 6,
                joined({attribute(1, IPv4Address(10, 8, 0, 1).bytes()), attribute(2, IPv4Address(10, 8, 0, 2).bytes()),
                        attribute(8, flags32)})),
        address(40, 0x80, 7, attribute(2, IPv4Address(10, 0, 0, 7).bytes())),
    });
    auto found = LinuxHost::parseAddresses(dump);
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0], (LinuxHost::KernelAddress{4, IPv4Address(192, 168, 0, 1), 24, true}));
    EXPECT_EQ(found[1], (LinuxHost::KernelAddress{5, IPv4Address(10, 0, 0, 7), 8, false}));
    EXPECT_EQ(found[2], (LinuxHost::KernelAddress{6, IPv4Address(10, 8, 0, 2), 32, true}));
}

TEST(ProberTest, echoRequestBytesAndChecksum) {
    auto request = Prober::echoRequest(0x1234, 1);
    Bytes expected{8, 0, 0, 0, 0x12, 0x34, 0, 1, 'd', 'h', 'c', 'p', 'a', 'n', 'v', 'i', 'l'};
    std::uint32_t sum = 0x0800 + 0x1234 + 0x0001 + 0x6468 + 0x6370 + 0x616e + 0x7669 + 0x6c00;
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    auto checksum = static_cast<std::uint16_t>(~sum);
    expected[2] = static_cast<std::uint8_t>(checksum >> 8);
    expected[3] = static_cast<std::uint8_t>(checksum);
    EXPECT_EQ(request, expected);
    EXPECT_EQ(Prober::internetChecksum(request), 0);  // a correct checksum sums to zero
    // RFC 1071's own example.
    EXPECT_EQ(Prober::internetChecksum(Bytes{0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7}),
              static_cast<std::uint16_t>(~0xddf2));
}

TEST(ProberTest, echoReplyRecognition) {
    IPv4Address ip(10, 0, 0, 2), other(10, 0, 0, 3);
    Bytes reply{0, 0, 0, 0, 0, 1, 0, 1};
    Bytes withHeader(20, 0);
    withHeader[0] = 0x45;
    withHeader.insert(withHeader.end(), reply.begin(), reply.end());
    Bytes headerOnly(withHeader.begin(), withHeader.begin() + 20);
    Bytes request = Prober::echoRequest(1, 1);
    EXPECT_TRUE(Prober::isEchoReply(reply, ip, ip));
    EXPECT_TRUE(Prober::isEchoReply(withHeader, ip, ip));
    EXPECT_FALSE(Prober::isEchoReply(reply, other, ip));
    EXPECT_FALSE(Prober::isEchoReply(headerOnly, ip, ip));
    EXPECT_FALSE(Prober::isEchoReply(request, ip, ip));
    EXPECT_FALSE(Prober::isEchoReply(Bytes{}, ip, ip));
}

}  // namespace
}  // namespace anvil
