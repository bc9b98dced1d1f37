#pragma once
// One received UDP payload with where it came from and the card it arrived on.
#include <cstdint>
#include <optional>
#include <span>

#include "core/addressing/bytes.hpp"
#include "core/addressing/ipv4_address.hpp"

namespace anvil {

struct Datagram {
    Bytes bytes;
    std::optional<std::uint32_t> interfaceIndex;
    IPv4Address source;
    std::uint16_t sourcePort = 0;

    friend bool operator==(const Datagram&, const Datagram&) = default;
};

// The arrival interface from a received message's control data (the IP_PKTINFO record),
// read from the bytes as the kernel lays them out.
std::optional<std::uint32_t> arrivalInterfaceIndex(std::span<const std::uint8_t> control);

}  // namespace anvil
