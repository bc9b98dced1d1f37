#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "core/watch/watched_frame.hpp"
#include "frame_bytes.hpp"

namespace anvil {
namespace {

using namespace frame_bytes;
using Result = std::variant<WatchedFrame, FrameParseError>;

Result error(const char* reason) { return FrameParseError{reason}; }

Result idsOnly(const MACAddress& source, std::string chassis, std::string port, std::uint16_t ttl) {
    LLDPFrame frame;
    frame.source = source;
    frame.identity.chassisID = std::move(chassis);
    frame.identity.portID = std::move(port);
    frame.timeToLive = ttl;
    return WatchedFrame{frame};
}

// Every prefix of a valid frame is refused (or read as far as it stays valid) without reading past it.
void expectEveryCutIsSafe(const Frame& frame) {
    for (std::size_t length = 0; length < frame.size(); ++length) {
        std::vector<std::uint8_t> cut(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(length));
        (void)parseWatchedFrame(cut);
    }
}

TEST(WatchedFrame, readsEthernetAndARPFieldByField) {
    struct Case {
        std::string name;
        Frame frame;
        Result expected;
    };
    auto device = mac(1);
    ARPFrame request{device, true, device, {192, 168, 1, 1}, {192, 168, 1, 254}};
    ARPFrame reply = request;
    reply.isRequest = false;
    ARPFrame otherSender = request;
    otherSender.senderMAC = mac(9);
    ARPFrame probe = request;
    probe.senderIP = IPv4Address::zero;
    auto withFields = [&](auto change) {
        ARPFields f;
        change(f);
        return ethernet(device, 0x0806, arpBody(f));
    };
    Frame padded = arp(device, {192, 168, 1, 1}, {192, 168, 1, 254}) + Frame(18, 0);
    const std::vector<Case> cases{
        {"request", arp(device, {192, 168, 1, 1}, {192, 168, 1, 254}), WatchedFrame{request}},
        {"reply", arp(device, {192, 168, 1, 1}, {192, 168, 1, 254}, false), WatchedFrame{reply}},
        {"padding to 60 bytes ignored", padded, WatchedFrame{request}},
        {"sender hardware differs from source", withFields([](ARPFields& f) { f.senderMAC = mac(9); }),
         WatchedFrame{otherSender}},
        {"probe", withFields([](ARPFields& f) { f.senderIP = IPv4Address::zero; }), WatchedFrame{probe}},
        {"other hardware type", withFields([](ARPFields& f) { f.hardwareType = 6; }),
         error("ARP for another hardware type")},
        {"other protocol", withFields([](ARPFields& f) { f.protocolType = 0x86dd; }), error("ARP for another protocol")},
        {"hardware length 8", withFields([](ARPFields& f) { f.hardwareLength = 8; }),
         error("ARP with other address lengths")},
        {"protocol length 16", withFields([](ARPFields& f) { f.protocolLength = 16; }),
         error("ARP with other address lengths")},
        {"RARP operation", withFields([](ARPFields& f) { f.operation = 3; }),
         error("ARP operation neither request nor reply")},
        {"operation 0", withFields([](ARPFields& f) { f.operation = 0; }),
         error("ARP operation neither request nor reply")},
        {"body cut", Frame(padded.begin(), padded.begin() + 14 + 27),
         error("ARP too short")},
        {"no header", Frame(13, 0x02), error("Ethernet header too short")},
        {"empty", Frame{}, error("Ethernet header too short")},
        {"broadcast source", arp(broadcastMAC, {1, 2, 3, 4}, {1, 2, 3, 5}), error("Ethernet source is a group address")},
        {"multicast source", arp(MACAddress{{0x01, 0, 0x5e, 0, 0, 1}}, {1, 2, 3, 4}, {1, 2, 3, 5}),
         error("Ethernet source is a group address")},
        {"zero source", arp(MACAddress{}, {1, 2, 3, 4}, {1, 2, 3, 5}), error("Ethernet source is all zero")},
        {"802.1Q tag", ethernet(device, 0x8100, Frame{0, 5, 8, 6} + arpBody({})), error("VLAN-tagged frame")},
        {"802.1ad tag", ethernet(device, 0x88a8, Frame{0, 5, 0x81, 0}), error("VLAN-tagged frame")},
        {"IPv6", ethernet(device, 0x86dd, Frame(40, 0)), error("frame of another ethertype")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseWatchedFrame(c.frame), c.expected) << c.name;
        expectEveryCutIsSafe(c.frame);
    }
}

TEST(WatchedFrame, readsLLDPWithItsInventoryAndRefusesBrokenTLVs) {
    struct Case {
        std::string name;
        Frame tlvs;
        Result expected;
    };
    auto device = mac(2);
    auto mandatory = chassisMAC(mac(0x20)) + portText("eth0") + ttlTLV(120);
    auto identity = [&](auto change) {
        LLDPFrame frame{device, {}, 120};
        frame.identity.chassisID = "02:11:22:33:44:20";
        frame.identity.portID = "eth0";
        change(frame);
        return Result{WatchedFrame{frame}};
    };
    Frame managementIPv4{5, 1, 192, 168, 1, 1, 2, 0, 0, 0, 1, 0};
    Frame managementIPv6 = Frame{17, 2} + Frame(16, 0xfe) + Frame{2, 0, 0, 0, 1, 0};
    std::string longest(255, 'x');
    const std::vector<Case> cases{
        {"mandatory only", mandatory + endTLV, identity([](LLDPFrame&) {})},
        {"no end TLV", mandatory, identity([](LLDPFrame&) {})},
        {"bytes after end ignored", mandatory + endTLV + Frame{0xff, 0xff, 0xff},
         identity([](LLDPFrame&) {})},
        {"names and MED inventory",
         mandatory + textTLV(5, "switch-1") + textTLV(6, "Bench switch") + tlv(8, managementIPv4) +
             medTLV(5, "A1") + medTLV(6, "fw 2.0") + medTLV(7, "sw 3.1") + medTLV(8, "SN123") +
             medTLV(9, "Maker Inc") + medTLV(10, "Phone 9") + medTLV(11, "asset-7") + endTLV,
         identity([](LLDPFrame& f) {
             auto& i = f.identity;
             i.systemName = "switch-1";
             i.systemDescription = "Bench switch";
             i.managementAddress = IPv4Address{192, 168, 1, 1};
             i.hardwareRevision = "A1";
             i.firmwareRevision = "fw 2.0";
             i.softwareRevision = "sw 3.1";
             i.serialNumber = "SN123";
             i.manufacturer = "Maker Inc";
             i.model = "Phone 9";
             i.assetID = "asset-7";
         })},
        {"duplicates: first wins",
         mandatory + textTLV(5, "first") + textTLV(5, "second") + medTLV(10, "one") + medTLV(10, "two") +
             chassisMAC(mac(0x30)) + ttlTLV(5) + endTLV,
         identity([](LLDPFrame& f) {
             f.identity.systemName = "first";
             f.identity.model = "one";
         })},
        {"IPv6 management skipped, later IPv4 kept", mandatory + tlv(8, managementIPv6) + tlv(8, managementIPv4),
         identity([](LLDPFrame& f) { f.identity.managementAddress = IPv4Address{192, 168, 1, 1}; })},
        {"management address cut short skipped", mandatory + tlv(8, Frame{5, 1, 10}), identity([](LLDPFrame&) {})},
        {"other organisation and MED subtypes skipped",
         mandatory + tlv(127, Frame{0x00, 0x80, 0xc2, 1, 0, 1}) + medTLV(1, "caps") + medTLV(12, "x") +
             tlv(127, Frame{0x00, 0x12}) + textTLV(4, "port descr") + textTLV(9, "??"),
         identity([](LLDPFrame&) {})},
        {"longest text kept whole", mandatory + textTLV(5, longest),
         identity([&](LLDPFrame& f) { f.identity.systemName = longest; })},
        {"longer text cut to 255 bytes", mandatory + textTLV(6, longest + longest),
         identity([&](LLDPFrame& f) { f.identity.systemDescription = longest; })},
        {"hostile bytes kept raw", mandatory + tlv(5, Frame{'a', 0, '\n', 0x1b, 0xff}),
         identity([](LLDPFrame& f) { f.identity.systemName = std::string("a\0\n\x1b\xff", 5); })},
        {"chassis and port as network addresses",
         tlv(1, Frame{5, 1, 10, 0, 0, 1}) + tlv(2, Frame{4, 1, 10, 0, 0, 2}) + ttlTLV(0),
         idsOnly(device, "10.0.0.1", "10.0.0.2", 0)},
        {"chassis as text, port MAC",
         tlv(1, Frame{7} + bytesOf("local")) + tlv(2, Frame{3, 2, 0x11, 0x22, 0x33, 0x44, 0x55}) + ttlTLV(9),
         idsOnly(device, "local", "02:11:22:33:44:55", 9)},
        {"chassis MAC of a wrong length shown as text", tlv(1, Frame{4, 'a', 'b'}) + portText("p") + ttlTLV(1),
         idsOnly(device, "ab", "p", 1)},
        {"TLV past the end", mandatory + tlv(5, bytesOf("abc"), 4), error("LLDP TLV runs past the frame")},
        {"length 511 past the end", mandatory + tlv(6, bytesOf("abc"), 511), error("LLDP TLV runs past the frame")},
        {"half a TLV header", mandatory + Frame{0x0a}, error("LLDP TLV header cut short")},
        {"port first", portText("eth0") + chassisMAC(mac(0x20)) + ttlTLV(1), error("LLDP without a chassis ID first")},
        {"TTL before port", chassisMAC(mac(0x20)) + ttlTLV(1) + portText("p"), error("LLDP without a port ID second")},
        {"name before TTL", chassisMAC(mac(0x20)) + portText("p") + textTLV(5, "x"),
         error("LLDP without a time to live third")},
        {"end before TTL", chassisMAC(mac(0x20)) + portText("p") + endTLV, error("LLDP without a time to live third")},
        {"empty", Frame{}, error("LLDP without its mandatory TLVs")},
        {"only chassis", chassisMAC(mac(0x20)), error("LLDP without its mandatory TLVs")},
        {"empty chassis ID", tlv(1, Frame{4}) + portText("p") + ttlTLV(1), error("LLDP ID too short")},
        {"one-byte TTL", chassisMAC(mac(0x20)) + portText("p") + tlv(3, Frame{1}), error("LLDP time to live too short")},
    };
    for (const auto& c : cases) {
        auto frame = lldp(device, c.tlvs);
        EXPECT_EQ(parseWatchedFrame(frame), c.expected) << c.name;
        expectEveryCutIsSafe(frame);
    }
}

TEST(WatchedFrame, readsTFTPReadRequestsOnlyFromWholeDatagrams) {
    struct Case {
        std::string name;
        Frame frame;
        Result expected;
    };
    auto device = mac(3);
    TFTPReadFrame read{device, {192, 168, 0, 86}, 2000, {192, 168, 0, 66}, "recovery.bin", "octet"};
    auto withIP = [&](auto change, std::string_view file = "recovery.bin") {
        IPv4Fields f;
        change(f);
        return tftpRead(device, file, f);
    };
    auto withPayload = [&](const Frame& payload) { return ethernet(device, 0x0800, ipv4UDP({}, payload)); };
    auto readOf = [&](std::string file, std::string mode) {
        auto r = read;
        r.file = std::move(file);
        r.mode = std::move(mode);
        return Result{WatchedFrame{r}};
    };
    std::string longest(255, 'f');
    const std::vector<Case> cases{
        {"read request", tftpRead(device, "recovery.bin"), WatchedFrame{read}},
        {"ethernet padding after the datagram", tftpRead(device, "recovery.bin") + Frame(20, 0), WatchedFrame{read}},
        {"with options", withPayload(tftpPayload("recovery.bin") + bytesOf("blksize") + Frame{0} + bytesOf("1468") + Frame{0}),
         WatchedFrame{read}},
        {"IP options", withIP([](IPv4Fields& f) { f.versionAndLength = 0x46; }), WatchedFrame{read}},
        {"don't-fragment clear", withIP([](IPv4Fields& f) { f.flagsAndOffset = 0; }), WatchedFrame{read}},
        {"netascii", withPayload(tftpPayload("recovery.bin", "netascii")), readOf("recovery.bin", "netascii")},
        {"empty mode", withPayload(tftpPayload("recovery.bin", "")), readOf("recovery.bin", "")},
        {"longest name", tftpRead(device, longest), readOf(longest, "octet")},
        {"name too long", tftpRead(device, longest + "f"), error("TFTP file name too long")},
        {"empty name", tftpRead(device, ""), error("TFTP file name empty")},
        {"write request", withPayload(tftpPayload("x", "octet", 2)), error("TFTP not a read request")},
        {"opcode only", withPayload(Frame{0, 1}), error("TFTP file name not terminated")},
        {"no opcode", withPayload(Frame{0}), error("TFTP opcode missing")},
        {"mode unterminated", withPayload(Frame{0, 1, 'a', 0, 'o', 'c'}), error("TFTP mode not terminated")},
        {"more fragments", withIP([](IPv4Fields& f) { f.flagsAndOffset = 0x2000; }), error("IPv4 fragment")},
        {"later fragment", withIP([](IPv4Fields& f) { f.flagsAndOffset = 0x0010; }), error("IPv4 fragment")},
        {"version 6", withIP([](IPv4Fields& f) { f.versionAndLength = 0x65; }), error("IP version not 4")},
        {"IHL 4", withIP([](IPv4Fields& f) { f.versionAndLength = 0x44; }), error("IPv4 header length below 20")},
        {"IHL 15 beyond the total length", withIP([](IPv4Fields& f) { f.versionAndLength = 0x4f; f.totalLengthDelta = -28; }, "a"),
         error("IPv4 length outside the frame")},
        {"total length past the frame", withIP([](IPv4Fields& f) { f.totalLengthDelta = 1; }),
         error("IPv4 length outside the frame")},
        {"total length below the header", withIP([](IPv4Fields& f) { f.totalLengthDelta = -40; }),
         error("IPv4 length outside the frame")},
        {"total length cuts the UDP header", withIP([](IPv4Fields& f) { f.totalLengthDelta = -22; }),
         error("UDP header too short")},
        {"TCP", withIP([](IPv4Fields& f) { f.protocol = 6; }), error("IPv4 not UDP")},
        {"other port", withIP([](IPv4Fields& f) { f.destinationPort = 67; }), error("UDP not to the TFTP port")},
        {"UDP length past the datagram", withIP([](IPv4Fields& f) { f.udpLengthDelta = 1; }),
         error("UDP length inconsistent")},
        {"UDP length below 8", withIP([](IPv4Fields& f) { f.udpLengthDelta = -22; }), error("UDP length inconsistent")},
        {"UDP length cuts the mode", withIP([](IPv4Fields& f) { f.udpLengthDelta = -1; }),
         error("TFTP mode not terminated")},
        {"header cut", ethernet(device, 0x0800, Frame(19, 0x45)), error("IPv4 header too short")},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(parseWatchedFrame(c.frame), c.expected) << c.name;
        expectEveryCutIsSafe(c.frame);
    }
}

}  // namespace
}  // namespace anvil
