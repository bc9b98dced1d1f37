#pragma once
// A BOOTP/DHCP message (RFC 2131 layout, RFC 2132 options) and its wire encoding.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/addressing/bytes.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/dhcp/dhcp_message_type.hpp"
#include "core/dhcp/dhcp_option_field.hpp"

namespace anvil {

struct DHCPPacket {
    std::uint8_t op = 1;  // 1 request from a client, 2 reply
    std::uint8_t htype = 1;
    std::uint8_t hlen = 6;
    std::uint8_t hops = 0;
    std::uint32_t xid = 0;
    std::uint16_t secs = 0;
    std::uint16_t flags = 0;  // 0x8000 asks for a broadcast reply
    IPv4Address ciaddr;
    IPv4Address yiaddr;
    IPv4Address siaddr;
    IPv4Address giaddr;
    Bytes chaddr = Bytes(16, 0);
    // The boot file name of the 128-byte `file` field, up to its NUL; empty when the field has no
    // NUL or carries options instead (option 52).
    std::string file;
    std::vector<DHCPOptionField> options;

    static constexpr std::size_t headerLength = 236;
    static constexpr std::array<std::uint8_t, 4> magicCookie{99, 130, 83, 99};
    static constexpr std::size_t minimumReplyLength = 300;
    static constexpr std::size_t maximumOptionLength = 255;
    static constexpr std::size_t fileFieldLength = 128;

    // Throws PacketError; nothing beyond the length, the cookie and the option framing is judged here.
    static DHCPPacket parse(std::span<const std::uint8_t> bytes);
    // Zero-padded up to minimumLength, never cut to it. A file name longer than 127 bytes is left
    // out of the field, which always ends in a NUL.
    Bytes serialize(std::size_t minimumLength = 0) const;
    // What serialize() would produce before padding.
    std::size_t encodedLength() const;

    // The data of the first field with this code.
    std::optional<Bytes> option(std::uint8_t code) const;
    // Replaces the first field with this code in place, or appends one; data beyond 255 bytes is dropped.
    void setOption(std::uint8_t code, Bytes data);

    // Printable ASCII as is, other bytes as \xNN; never longer than limit and never a split escape.
    static std::string printable(std::span<const std::uint8_t> bytes, std::size_t limit);

    std::optional<DHCPMessageType> messageType() const;
    std::optional<MACAddress> mac() const;
    std::optional<std::string> hostname() const;
    std::optional<std::string> vendorClass() const;
    std::optional<std::string> clientID() const;
    std::optional<IPv4Address> requestedIP() const;
    std::optional<IPv4Address> serverID() const;

    friend bool operator==(const DHCPPacket&, const DHCPPacket&) = default;
};

}  // namespace anvil
