#if defined(__linux__)
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/host/icmp_socket.hpp"

namespace anvil {

namespace {

int boundSocket(int type, const std::string& interfaceName) {
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd < 0) return -1;
    if (!interfaceName.empty() && ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                                               static_cast<socklen_t>(interfaceName.size())) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// dhcpanvil-helper does not hand out raw sockets: whoever holds one reads every ICMP packet of the
// card and, with IP_HDRINCL, sends any IPv4 packet from any source, and any local user can start
// the helper. Without a ping socket, presence rests on TCP.
int openIcmpSocket(const std::string& interfaceName) {
    int fd = boundSocket(SOCK_DGRAM, interfaceName);
    return fd >= 0 ? fd : boundSocket(SOCK_RAW, interfaceName);
}

}  // namespace anvil
#endif
