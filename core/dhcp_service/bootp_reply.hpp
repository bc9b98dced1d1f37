#pragma once
// The answer to a plain BOOTP request: a BOOTREPLY with the address and the configured options in
// the vendor area (RFC 1497 form), and the boot fields when network boot is on.
#include "core/addressing/server_config.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp_service/decision_action.hpp"

namespace anvil {

// Pure. No message type, lease times or server identifier: those are DHCP's, and a BOOTP client
// keeps the address until it asks again. Every BOOTP client boots, so with boot on it is told the
// boot file for its kind, or the one for all. Goes to ciaddr when the client knows its address,
// else to the broadcast address.
Reply bootReply(const DHCPPacket& request, const ServerConfig& config, IPv4Address yiaddr, const MACAddress& mac);

}  // namespace anvil
