#pragma once
// The one place a presence probe gets its ICMP socket from.
#include <string>

namespace anvil {

// An ICMP socket bound to the card (unbound for an empty name): a ping socket where the system
// admits this user to them, else a raw socket. Owned, non-blocking and close-on-exec; -1 when
// neither can be had, and probes then rely on TCP alone.
int openIcmpSocket(const std::string& interfaceName);

}  // namespace anvil
