#include "core/watch/watched_frame.hpp"

#include <algorithm>
#include <cstring>

namespace anvil {

namespace {

constexpr std::uint16_t etherARP = 0x0806;
constexpr std::uint16_t etherIPv4 = 0x0800;
constexpr std::uint16_t etherLLDP = 0x88cc;
constexpr std::uint16_t etherVLAN = 0x8100;
constexpr std::uint16_t etherQinQ = 0x88a8;
constexpr std::size_t ethernetHeaderLength = 14;

using Bytes8 = std::span<const std::uint8_t>;
using Parsed = std::variant<WatchedFrame, FrameParseError>;

Parsed refused(const char* reason) { return FrameParseError{reason}; }

std::uint16_t read16(Bytes8 bytes, std::size_t at) {
    return static_cast<std::uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

MACAddress macAt(Bytes8 bytes, std::size_t at) {
    MACAddress mac;
    std::memcpy(mac.bytes.data(), bytes.data() + at, 6);
    return mac;
}

IPv4Address ipAt(Bytes8 bytes, std::size_t at) {
    return IPv4Address{bytes[at], bytes[at + 1], bytes[at + 2], bytes[at + 3]};
}

// LLDP texts are at most 255 bytes (IEEE 802.1AB); a longer TLV keeps only that much.
constexpr std::size_t longestText = 255;

std::string textOf(Bytes8 bytes) { return std::string(bytes.begin(), bytes.begin() + std::min(bytes.size(), longestText)); }

// ARP over Ethernet for IPv4 only (RFC 826).
Parsed parseARP(const MACAddress& source, Bytes8 body) {
    if (body.size() < 28) return refused("ARP too short");
    if (read16(body, 0) != 1) return refused("ARP for another hardware type");
    if (read16(body, 2) != etherIPv4) return refused("ARP for another protocol");
    if (body[4] != 6 || body[5] != 4) return refused("ARP with other address lengths");
    auto op = read16(body, 6);
    if (op != 1 && op != 2) return refused("ARP operation neither request nor reply");
    ARPFrame arp;
    arp.source = source;
    arp.isRequest = op == 1;
    arp.senderMAC = macAt(body, 8);
    arp.senderIP = ipAt(body, 14);
    arp.targetIP = ipAt(body, 24);
    return WatchedFrame{arp};
}

std::string macText(Bytes8 bytes) {
    if (bytes.size() != 6) return textOf(bytes);
    return macAt(bytes, 0).description();
}

// A network address subtype: IANA address family, then the address; IPv4 shown dotted.
std::string networkAddressText(Bytes8 bytes) {
    if (bytes.size() == 5 && bytes[0] == 1) return ipAt(bytes, 1).description();
    return textOf(bytes);
}

// Chassis ID (subtype 4 MAC, 5 network address) and port ID (3 MAC, 4 network address) (IEEE 802.1AB 8.5.2, 8.5.3).
std::string idText(Bytes8 value, std::uint8_t macSubtype, std::uint8_t networkSubtype) {
    auto subtype = value[0];
    auto id = value.subspan(1);
    if (subtype == macSubtype) return macText(id);
    if (subtype == networkSubtype) return networkAddressText(id);
    return textOf(id);
}

// Management address TLV (8.5.9): string length, family, address, then interface numbering we ignore.
std::optional<IPv4Address> managementIPv4(Bytes8 value) {
    if (value.size() < 1) return std::nullopt;
    std::size_t addressLength = value[0];
    if (addressLength != 5 || value.size() < 1 + addressLength) return std::nullopt;
    if (value[1] != 1) return std::nullopt;
    return ipAt(value, 2);
}

void setOnce(std::string& field, bool& seen, Bytes8 value) {
    if (seen) return;
    seen = true;
    field = textOf(value);
}

Parsed parseLLDP(const MACAddress& source, Bytes8 body) {
    LLDPFrame lldp;
    lldp.source = source;
    auto& id = lldp.identity;
    // Which TLVs were already taken: the first of a kind wins.
    bool seenName = false, seenDescription = false, seenManagement = false;
    bool seenMED[12] = {};
    std::size_t at = 0;
    int index = 0;
    bool ended = false;
    while (at < body.size()) {
        if (body.size() - at < 2) return refused("LLDP TLV header cut short");
        auto header = read16(body, at);
        unsigned type = header >> 9;
        std::size_t length = header & 0x1ff;
        at += 2;
        if (length > body.size() - at) return refused("LLDP TLV runs past the frame");
        auto value = body.subspan(at, length);
        at += length;
        if (index == 0 && type != 1) return refused("LLDP without a chassis ID first");
        if (index == 1 && type != 2) return refused("LLDP without a port ID second");
        if (index == 2 && type != 3) return refused("LLDP without a time to live third");
        ++index;
        switch (type) {
            case 0:
                ended = true;
                break;
            case 1:
            case 2:
                if (index > 2) break;  // a repeated ID: the first wins
                if (length < 2) return refused("LLDP ID too short");
                if (type == 1)
                    id.chassisID = idText(value, 4, 5);
                else
                    id.portID = idText(value, 3, 4);
                break;
            case 3:
                if (index > 3) break;
                if (length < 2) return refused("LLDP time to live too short");
                lldp.timeToLive = read16(value, 0);
                break;
            case 5: setOnce(id.systemName, seenName, value); break;
            case 6: setOnce(id.systemDescription, seenDescription, value); break;
            case 8:
                if (!seenManagement) {
                    if (auto address = managementIPv4(value)) {
                        id.managementAddress = address;
                        seenManagement = true;
                    }
                }
                break;
            case 127: {
                // TIA LLDP-MED inventory (ANSI/TIA-1057 10.2.6).
                if (length < 4 || value[0] != 0x00 || value[1] != 0x12 || value[2] != 0xbb) break;
                auto subtype = value[3];
                auto text = value.subspan(4);
                std::string* field = nullptr;
                switch (subtype) {
                    case 5: field = &id.hardwareRevision; break;
                    case 6: field = &id.firmwareRevision; break;
                    case 7: field = &id.softwareRevision; break;
                    case 8: field = &id.serialNumber; break;
                    case 9: field = &id.manufacturer; break;
                    case 10: field = &id.model; break;
                    case 11: field = &id.assetID; break;
                    default: break;
                }
                if (field) setOnce(*field, seenMED[subtype], text);
                break;
            }
            default: break;
        }
        if (ended) break;
    }
    if (index < 3) return refused("LLDP without its mandatory TLVs");
    return WatchedFrame{lldp};
}

// An unfragmented IPv4 UDP datagram to port 69 carrying a TFTP read request (RFC 1350).
Parsed parseTFTP(const MACAddress& source, Bytes8 body) {
    if (body.size() < 20) return refused("IPv4 header too short");
    if ((body[0] >> 4) != 4) return refused("IP version not 4");
    std::size_t headerLength = std::size_t{body[0] & 0x0fu} * 4;
    if (headerLength < 20) return refused("IPv4 header length below 20");
    std::size_t totalLength = read16(body, 2);
    if (totalLength < headerLength || totalLength > body.size()) return refused("IPv4 length outside the frame");
    auto flags = read16(body, 6);
    if ((flags & 0x2000) != 0 || (flags & 0x1fff) != 0) return refused("IPv4 fragment");
    if (body[9] != 17) return refused("IPv4 not UDP");
    auto udp = body.subspan(headerLength, totalLength - headerLength);
    if (udp.size() < 8) return refused("UDP header too short");
    if (read16(udp, 2) != 69) return refused("UDP not to the TFTP port");
    std::size_t udpLength = read16(udp, 4);
    if (udpLength < 8 || udpLength > udp.size()) return refused("UDP length inconsistent");
    auto payload = udp.subspan(8, udpLength - 8);
    if (payload.size() < 2) return refused("TFTP opcode missing");
    if (read16(payload, 0) != 1) return refused("TFTP not a read request");
    auto rest = payload.subspan(2);
    const std::uint8_t* fileEnd = static_cast<const std::uint8_t*>(std::memchr(rest.data(), 0, rest.size()));
    if (!fileEnd) return refused("TFTP file name not terminated");
    std::size_t fileLength = static_cast<std::size_t>(fileEnd - rest.data());
    if (fileLength == 0) return refused("TFTP file name empty");
    if (fileLength > 255) return refused("TFTP file name too long");
    auto afterFile = rest.subspan(fileLength + 1);
    const std::uint8_t* modeEnd =
        static_cast<const std::uint8_t*>(std::memchr(afterFile.data(), 0, afterFile.size()));
    if (!modeEnd) return refused("TFTP mode not terminated");
    TFTPReadFrame read;
    read.source = source;
    read.client = ipAt(body, 12);
    read.server = ipAt(body, 16);
    read.clientPort = read16(udp, 0);
    read.file = textOf(rest.first(fileLength));
    read.mode = textOf(afterFile.first(static_cast<std::size_t>(modeEnd - afterFile.data())));
    return WatchedFrame{read};
}

}  // namespace

std::variant<WatchedFrame, FrameParseError> parseWatchedFrame(std::span<const std::uint8_t> frame) {
    if (frame.size() < ethernetHeaderLength) return refused("Ethernet header too short");
    auto source = macAt(frame, 6);
    if (source.bytes[0] & 0x01) return refused("Ethernet source is a group address");
    if (source == MACAddress{}) return refused("Ethernet source is all zero");
    auto etherType = read16(frame, 12);
    auto body = frame.subspan(ethernetHeaderLength);
    switch (etherType) {
        case etherARP: return parseARP(source, body);
        case etherLLDP: return parseLLDP(source, body);
        case etherIPv4: return parseTFTP(source, body);
        case etherVLAN:
        case etherQinQ: return refused("VLAN-tagged frame");
        default: return refused("frame of another ethertype");
    }
}

}  // namespace anvil
