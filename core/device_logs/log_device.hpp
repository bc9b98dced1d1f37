#pragma once
// Who sent a log line: the lease or the neighbour behind the datagram's source address, or just
// the address. What the message says of its sender (a host field) is never asked: any device
// can name any other.
#include <optional>
#include <span>
#include <string>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/leases/lease_table.hpp"
#include "core/watch/neighbour.hpp"

namespace anvil {

struct LogDevice {
    enum class Kind { lease, neighbour, address };

    Kind kind = Kind::address;
    // The datagram's source address.
    IPv4Address address;
    // Known for a lease and a neighbour; for an address only when the frame told it and the
    // source address says nothing (link-local, 0.0.0.0, broadcast).
    std::optional<MACAddress> mac;
    // The lease's host name, or the neighbour's LLDP system name (the device's own text).
    std::optional<std::string> hostname;
    // From the neighbour record; empty when unknown.
    std::string maker;

    friend bool operator==(const LogDevice&, const LogDevice&) = default;
};

// A source that names no one: link-local (every such device may pick the same), 0.0.0.0, the
// broadcast address, multicast and reserved.
bool sourceSaysNothing(IPv4Address source);

// By the source address: the lease holding it at `now`, else the neighbour that claimed it most
// recently; where the address says nothing, by the frame's hardware address instead.
LogDevice attributeSender(IPv4Address source, const std::optional<MACAddress>& frameMAC, const LeaseTable& leases,
                          std::span<const Neighbour> neighbours, Date now);

}  // namespace anvil
