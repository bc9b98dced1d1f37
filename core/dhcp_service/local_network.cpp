#include "core/dhcp_service/local_network.hpp"

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "core/host/socket_address.hpp"

namespace anvil {

SendFailure LocalNetwork::classify(const TransportError& error, bool linkUp, bool serverAddressPresent) {
    switch (error.code) {
        case EADDRNOTAVAIL:
        case ENETDOWN:
        case ENETUNREACH:
        case EHOSTUNREACH:
            if (!linkUp) return {SendFailure::Kind::linkDown, {}};
            if (serverAddressPresent) return {SendFailure::Kind::possiblyDenied, {}};
            return {SendFailure::Kind::addressMissing, {}};
        default: return {SendFailure::Kind::other, error.description()};
    }
}

SendFailureStep LocalNetwork::stepAfter(const SendFailure& failure, const FailedSend& send) {
    auto notSent = [&](const std::string& why) {
        return SendFailureStep{SendFailureStep::Kind::line, send.type + " not sent: " + why};
    };
    switch (failure.kind) {
        case SendFailure::Kind::linkDown: return notSent("link down");
        case SendFailure::Kind::addressMissing:
            return notSent(send.serverIP.description() + " is not on " + send.interfaceName + " right now");
        case SendFailure::Kind::possiblyDenied:
            if (!send.firstTry) return {SendFailureStep::Kind::notice, {}};
            if (send.retryRoom) return {SendFailureStep::Kind::retry, {}};
            return notSent(send.error);
        case SendFailure::Kind::other: break;
    }
    return notSent(failure.text);
}

void LocalNetwork::triggerAlert(const std::string& interfaceName, IPv4Address nearby) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    // Binding to the card needs privileges on Linux; without them the connect still runs unbound.
    if (::if_nametoindex(interfaceName.c_str()) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                     static_cast<socklen_t>(interfaceName.size()));
    auto target = socketAddress(nearby, 9);
    ::connect(fd, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    ::close(fd);
}

}  // namespace anvil
