#pragma once
// A non-blocking, close-on-exec IPv4 socket bound to one card (unbound for an empty name).
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace anvil {

// -1 when the socket cannot be made or bound to the card.
inline int openCardSocket(int type, int protocol, const std::string& interfaceName) {
    int fd = ::socket(AF_INET, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return -1;
    if (!interfaceName.empty() && ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                                               static_cast<socklen_t>(interfaceName.size())) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace anvil
