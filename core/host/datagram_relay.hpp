#pragma once
// Receiving and sending through a card's port that dhcpanvil-helper holds, in its relay's messages.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "core/addressing/ipv4_address.hpp"
#include "core/host/packet_info.hpp"
#include "core/host/privilege_helper.hpp"

namespace anvil {

// One relayed datagram, its payload in the caller's buffer (cut to the buffer's size).
struct RelayedDatagram {
    std::size_t length = 0;
    bool truncated = false;
    IPv4Address source;
    std::uint16_t sourcePort = 0;
    PacketInfo arrival;
};
struct RelayQuiet {
    friend bool operator==(RelayQuiet, RelayQuiet) = default;
};
// The helper let go of the card: `reason` says why (the card stopped being a bench card), or is
// empty when it exited without a word.
struct RelayEnded {
    std::string reason;
    friend bool operator==(const RelayEnded&, const RelayEnded&) = default;
};
using RelayReception = std::variant<RelayedDatagram, RelayQuiet, RelayEnded>;

// Reads one message without blocking; a message that is not the helper's own is skipped.
RelayReception receiveRelayed(const PrivilegeHelper::RelayedSocket& socket, std::span<std::uint8_t> payload);

// Has the helper send one datagram from the card and waits (a second at most) for the result: 0
// when sent, else the errno of the send. One send at a time per socket.
int sendRelayed(const PrivilegeHelper::RelayedSocket& socket, std::span<const std::uint8_t> bytes,
                IPv4Address destination, std::uint16_t port);

// Closes both ends and waits for the helper to exit.
void closeRelayedSocket(PrivilegeHelper::RelayedSocket& socket);

}  // namespace anvil
