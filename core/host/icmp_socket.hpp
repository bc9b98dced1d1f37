#pragma once
// The ICMP socket of a presence probe, when this process may have one.
#include <string>

namespace anvil {

// An owned, non-blocking, close-on-exec ICMP socket bound to the card (unbound for an empty
// name): a ping socket where net.ipv4.ping_group_range admits the process, else a raw socket
// where the process may open one (root). -1 when neither: probes then use TCP alone.
int openIcmpSocket(const std::string& interfaceName);

}  // namespace anvil
