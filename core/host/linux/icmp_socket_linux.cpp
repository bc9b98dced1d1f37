#if defined(__linux__)
#include "core/host/icmp_socket.hpp"
#include "core/host/linux/card_socket.hpp"

namespace anvil {

// dhcpanvil-helper does not hand out raw sockets: whoever holds one reads every ICMP packet of the
// card and, with IP_HDRINCL, sends any IPv4 packet from any source, and any local user can start
// the helper. Without a ping socket, presence rests on TCP.
int openIcmpSocket(const std::string& interfaceName) {
    int fd = openCardSocket(SOCK_DGRAM, IPPROTO_ICMP, interfaceName);
    return fd >= 0 ? fd : openCardSocket(SOCK_RAW, IPPROTO_ICMP, interfaceName);
}

}  // namespace anvil
#endif
