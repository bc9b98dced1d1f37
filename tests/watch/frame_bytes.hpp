#pragma once
// Builders of watched frames as bytes on the wire, for the discovery tests.
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"

namespace anvil::frame_bytes {

using Frame = std::vector<std::uint8_t>;

inline void put16(Frame& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value));
}
inline void putMAC(Frame& out, const MACAddress& mac) { out.insert(out.end(), mac.bytes.begin(), mac.bytes.end()); }
inline void putIP(Frame& out, IPv4Address ip) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(ip.value >> shift));
}
inline void putText(Frame& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }
inline Frame operator+(Frame a, const Frame& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline MACAddress mac(std::uint8_t last) { return MACAddress{{0x02, 0x11, 0x22, 0x33, 0x44, last}}; }
inline const MACAddress broadcastMAC{{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}};

inline Frame ethernet(const MACAddress& source, unsigned etherType, const Frame& body,
                      const MACAddress& destination = broadcastMAC) {
    Frame out;
    putMAC(out, destination);
    putMAC(out, source);
    put16(out, etherType);
    return out + body;
}

struct ARPFields {
    unsigned hardwareType = 1, protocolType = 0x0800, hardwareLength = 6, protocolLength = 4, operation = 1;
    MACAddress senderMAC = mac(1);
    IPv4Address senderIP{192, 168, 1, 1};
    IPv4Address targetIP{192, 168, 1, 254};
};
inline Frame arpBody(const ARPFields& f) {
    Frame out;
    put16(out, f.hardwareType);
    put16(out, f.protocolType);
    out.push_back(static_cast<std::uint8_t>(f.hardwareLength));
    out.push_back(static_cast<std::uint8_t>(f.protocolLength));
    put16(out, f.operation);
    putMAC(out, f.senderMAC);
    putIP(out, f.senderIP);
    putMAC(out, MACAddress{});
    putIP(out, f.targetIP);
    return out;
}
inline Frame arp(const MACAddress& source, IPv4Address sender, IPv4Address target, bool request = true) {
    ARPFields f;
    f.senderMAC = source;
    f.senderIP = sender;
    f.targetIP = target;
    f.operation = request ? 1 : 2;
    return ethernet(source, 0x0806, arpBody(f));
}

// One LLDP TLV; `length` overrides the header's length field when given.
inline Frame tlv(unsigned type, const Frame& value, int length = -1) {
    Frame out;
    unsigned declared = length < 0 ? static_cast<unsigned>(value.size()) : static_cast<unsigned>(length);
    put16(out, (type << 9) | (declared & 0x1ff));
    return out + value;
}
inline Frame bytesOf(std::string_view text) { return Frame(text.begin(), text.end()); }
inline Frame textTLV(unsigned type, std::string_view text) { return tlv(type, bytesOf(text)); }
inline Frame ttlTLV(unsigned seconds) {
    Frame value;
    put16(value, seconds);
    return tlv(3, value);
}
inline Frame medTLV(std::uint8_t subtype, std::string_view text) {
    return tlv(127, Frame{0x00, 0x12, 0xbb, subtype} + bytesOf(text));
}
inline Frame chassisMAC(const MACAddress& chassis) {
    Frame value{4};
    putMAC(value, chassis);
    return tlv(1, value);
}
inline Frame portText(std::string_view text) { return tlv(2, Frame{5} + bytesOf(text)); }
inline const Frame endTLV{0, 0};
inline Frame lldp(const MACAddress& source, const Frame& tlvs) {
    return ethernet(source, 0x88cc, tlvs, MACAddress{{0x01, 0x80, 0xc2, 0x00, 0x00, 0x0e}});
}

struct IPv4Fields {
    unsigned versionAndLength = 0x45, flagsAndOffset = 0x4000, protocol = 17, destinationPort = 69;
    int totalLengthDelta = 0, udpLengthDelta = 0;
    IPv4Address client{192, 168, 0, 86};
    IPv4Address server{192, 168, 0, 66};
};
inline Frame tftpPayload(std::string_view file, std::string_view mode = "octet", unsigned opcode = 1) {
    Frame out;
    put16(out, opcode);
    putText(out, file);
    out.push_back(0);
    putText(out, mode);
    out.push_back(0);
    return out;
}
inline Frame ipv4UDP(const IPv4Fields& f, const Frame& payload) {
    std::size_t headerLength = (f.versionAndLength & 0x0f) * 4u;
    Frame out;
    out.push_back(static_cast<std::uint8_t>(f.versionAndLength));
    out.push_back(0);
    put16(out, static_cast<unsigned>(static_cast<int>(headerLength + 8 + payload.size()) + f.totalLengthDelta));
    put16(out, 0x1234);
    put16(out, f.flagsAndOffset);
    out.push_back(64);
    out.push_back(static_cast<std::uint8_t>(f.protocol));
    put16(out, 0);
    putIP(out, f.client);
    putIP(out, f.server);
    while (out.size() < headerLength) out.push_back(0);
    put16(out, 2000);
    put16(out, f.destinationPort);
    put16(out, static_cast<unsigned>(static_cast<int>(8 + payload.size()) + f.udpLengthDelta));
    put16(out, 0);
    return out + payload;
}
inline Frame tftpRead(const MACAddress& source, std::string_view file, const IPv4Fields& f = {}) {
    return ethernet(source, 0x0800, ipv4UDP(f, tftpPayload(file)));
}

}  // namespace anvil::frame_bytes
