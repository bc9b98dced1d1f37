#pragma once
// What IP_PKTINFO tells of a received datagram, read from a recvmsg control block.
#include <cstdint>
#include <optional>
#include <span>

#include "core/addressing/ipv4_address.hpp"

namespace anvil {

struct PacketInfo {
    std::uint32_t interfaceIndex = 0;
    IPv4Address localAddress;  // the card's address it arrived for: where a transfer socket binds
    IPv4Address destination;   // the header's destination (a broadcast address for a broadcast)
    friend bool operator==(const PacketInfo&, const PacketInfo&) = default;
};

// The IP_PKTINFO record of a recvmsg control block, read field by field.
std::optional<PacketInfo> readPacketInfo(std::span<const std::uint8_t> control);

}  // namespace anvil
