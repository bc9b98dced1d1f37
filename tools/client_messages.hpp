#pragma once
// The client side of a DHCP exchange, as a simulated device sends it.
#include <cstdint>

#include "core/addressing/mac_address.hpp"
#include "core/dhcp/dhcp_packet.hpp"

namespace anvil::load {

DHCPPacket discover(const MACAddress& mac, std::uint32_t xid);
// Selecting the offer: names the server and the offered address.
DHCPPacket selectingRequest(const MACAddress& mac, std::uint32_t xid, IPv4Address offered, IPv4Address server);
// Renewing: the bound address in ciaddr, no server identifier.
DHCPPacket renewingRequest(const MACAddress& mac, std::uint32_t xid, IPv4Address bound);
DHCPPacket release(const MACAddress& mac, std::uint32_t xid, IPv4Address bound, IPv4Address server);

}  // namespace anvil::load
