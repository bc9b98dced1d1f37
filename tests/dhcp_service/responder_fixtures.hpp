#pragma once
// Client messages and contexts for responder tests: one valid message, changed one field at a time.
#include <cstdint>
#include <string>
#include <vector>

#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/option_code.hpp"
#include "core/dhcp_service/responder.hpp"

namespace anvil::testing {

inline IPv4Address addr(const char* text) { return *IPv4Address::parse(text); }
inline MACAddress hw(const char* text) { return *MACAddress::parse(text); }

// 192.168.0.1/24 serving .100 to .200 for one day, no router or DNS.
inline ServerConfig benchConfig() {
    ServerConfig config;
    config.serverIP = addr("192.168.0.1");
    config.prefixLength = 24;
    config.rangeStart = addr("192.168.0.100");
    config.rangeEnd = addr("192.168.0.200");
    config.leaseSeconds = 86400;
    return config;
}

class Message {
public:
    Message(DHCPMessageType type, const MACAddress& mac, std::uint32_t xid = 0x1234abcd) {
        packet_.xid = xid;
        std::copy(mac.bytes.begin(), mac.bytes.end(), packet_.chaddr.begin());
        packet_.options.push_back({OptionCode::messageType, {rawValue(type)}});
    }
    Message& requested(IPv4Address ip) { return option(OptionCode::requestedIP, ip.bytes()); }
    Message& serverID(IPv4Address ip) { return option(OptionCode::serverID, ip.bytes()); }
    Message& ciaddr(IPv4Address ip) {
        packet_.ciaddr = ip;
        return *this;
    }
    Message& giaddr(IPv4Address ip) {
        packet_.giaddr = ip;
        return *this;
    }
    Message& hostname(const std::string& name) { return option(OptionCode::hostname, Bytes(name.begin(), name.end())); }
    Message& vendorClass(const std::string& text) {
        return option(OptionCode::vendorClass, Bytes(text.begin(), text.end()));
    }
    Message& option(std::uint8_t code, Bytes data) {
        packet_.setOption(code, std::move(data));
        return *this;
    }
    Message& withoutOption(std::uint8_t code) {
        std::erase_if(packet_.options, [code](const DHCPOptionField& field) { return field.code == code; });
        return *this;
    }
    Message& header(std::uint8_t op, std::uint8_t htype, std::uint8_t hlen) {
        packet_.op = op;
        packet_.htype = htype;
        packet_.hlen = hlen;
        return *this;
    }
    Message& flags(std::uint16_t value) {
        packet_.flags = value;
        return *this;
    }

    const DHCPPacket& packet() const { return packet_; }
    operator const DHCPPacket&() const { return packet_; }

private:
    DHCPPacket packet_;
};

inline DecisionContext contextAt(double now, LeaseTable table = {}) {
    return DecisionContext{std::move(table), {}, {}, Date{now}};
}

inline std::vector<std::uint8_t> optionCodes(const DHCPPacket& packet) {
    std::vector<std::uint8_t> codes;
    for (const auto& field : packet.options) codes.push_back(field.code);
    return codes;
}

inline Lease boundLease(const char* macText, const char* ipText, double expiresAt, double lastSeen = 0) {
    return Lease{hw(macText),  addr(ipText), Lease::State::bound, Date{expiresAt}, std::nullopt, std::nullopt,
                 std::nullopt, Date{0},      Date{lastSeen}};
}

}  // namespace anvil::testing
