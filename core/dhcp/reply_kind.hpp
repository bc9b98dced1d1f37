#pragma once
// What kind of reply the server sent: a DHCP message type, or nothing for a BOOTREPLY, which
// carries no option 53.
#include <optional>
#include <string>

#include "core/dhcp/dhcp_message_type.hpp"

namespace anvil {

using ReplyKind = std::optional<DHCPMessageType>;

// "OFFER", "ACK", "NAK", or "BOOTP" for a BOOTREPLY.
inline std::string replyName(ReplyKind kind) { return kind ? description(*kind) : "BOOTP"; }

// An ACK or a BOOTREPLY: the client starts using the address as soon as it arrives.
constexpr bool bindsAddress(ReplyKind kind) { return !kind || *kind == DHCPMessageType::ack; }

}  // namespace anvil
