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

int openIcmpSocket(const std::string& interfaceName) {
    // Ping sockets need net.ipv4.ping_group_range to admit one of our groups; raw ones need CAP_NET_RAW.
    int fd = boundSocket(SOCK_DGRAM, interfaceName);
    return fd >= 0 ? fd : boundSocket(SOCK_RAW, interfaceName);
}

}  // namespace anvil
#endif
