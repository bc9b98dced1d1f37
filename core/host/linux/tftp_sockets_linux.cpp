#if defined(__linux__)
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/host/datagram_relay.hpp"
#include "core/host/privilege_helper.hpp"
#include "core/host/socket_address.hpp"
#include "core/host/tftp_sockets.hpp"

namespace anvil {

namespace {

constexpr std::uint16_t tftpPort = 69;
// Room for IP_PKTINFO and whatever else the kernel adds.
constexpr std::size_t controlCapacity = 256;
// A signal between two datagrams is not an error; an endless stream of them is not ours to wait out.
constexpr int interruptedRetries = 8;

std::uint16_t boundPort(int fd) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length) != 0) return 0;
    return ntohs(bound.sin_port);
}

// Makes a UDP socket bound to `address`:`port`, on `interfaceName` when not empty; the steps and
// their texts are the helper's.
std::variant<int, SocketFailure> boundSocket(IPv4Address address, std::uint16_t port, const std::string& interfaceName,
                                             bool packetInfo) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return SocketFailure{"socket", errno};
    auto fail = [fd](std::string operation) {
        int code = errno;
        ::close(fd);
        return SocketFailure{std::move(operation), code};
    };
    int on = 1;
    if (packetInfo && ::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0)
        return fail("setsockopt IP_PKTINFO");
    // Before bind(), so that nothing of another card is ever queued.
    if (!interfaceName.empty() && ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                                               static_cast<socklen_t>(interfaceName.size())) != 0)
        return fail("setsockopt SO_BINDTODEVICE");
    auto bound = socketAddress(address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0)
        return fail("bind " + address.description() + ":" + std::to_string(port));
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl O_NONBLOCK");
    return fd;
}

}  // namespace

std::string SocketFailure::description() const {
    return operation + " failed: " + std::strerror(code) + " (errno " + std::to_string(code) + ")";
}

std::variant<TFTPListener, SocketFailure> openTFTPListener(const std::string& interfaceName) {
    if (!PrivilegeHelper::notNeeded()) {
        auto answer = PrivilegeHelper::openServerSocket(interfaceName, PrivilegeHelper::ServerPort::tftp);
        if (auto failure = std::get_if<PrivilegeHelper::Failure>(&answer))
            return SocketFailure{failure->operation, failure->code};
        auto socket = std::get<PrivilegeHelper::RelayedSocket>(answer);
        return TFTPListener{socket.fd, tftpPort, socket.interfaceIndex, socket};
    }
    unsigned index = ::if_nametoindex(interfaceName.c_str());
    if (index == 0) return SocketFailure{"find interface " + interfaceName, ENXIO};
    auto opened = boundSocket(IPv4Address::zero, tftpPort, interfaceName, true);
    if (auto failure = std::get_if<SocketFailure>(&opened)) return *failure;
    return TFTPListener{std::get<int>(opened), tftpPort, index, std::nullopt};
}

void closeTFTPListener(TFTPListener& listener) {
    if (listener.relay)
        closeRelayedSocket(*listener.relay);
    else if (listener.fd >= 0)
        ::close(listener.fd);
    listener = TFTPListener{};
}

RequestReception receiveRequest(const TFTPListener& listener, std::span<std::uint8_t> buffer) {
    if (!listener.relay) {
        auto reception = receiveDatagram(listener.fd, buffer);
        if (auto datagram = std::get_if<ReceivedDatagram>(&reception)) return *datagram;
        if (auto failure = std::get_if<SocketFailure>(&reception)) return *failure;
        return NothingWaiting{};
    }
    auto reception = receiveRelayed(*listener.relay, buffer);
    if (auto ended = std::get_if<RelayEnded>(&reception)) return ListenerEnded{ended->reason};
    auto relayed = std::get_if<RelayedDatagram>(&reception);
    if (!relayed) return NothingWaiting{};
    return ReceivedDatagram{relayed->length, relayed->truncated, relayed->source, relayed->sourcePort,
                            relayed->arrival};
}

std::optional<SocketFailure> sendFromListener(const TFTPListener& listener, std::span<const std::uint8_t> bytes,
                                              IPv4Address destination, std::uint16_t port) {
    if (!listener.relay) return sendDatagram(listener.fd, bytes, destination, port);
    if (int code = sendRelayed(*listener.relay, bytes, destination, port))
        return SocketFailure{"send to " + destination.description() + ":" + std::to_string(port), code};
    return std::nullopt;
}

std::variant<TFTPListener, SocketFailure> openTFTPLoopbackListener(std::uint16_t port) {
    auto opened = boundSocket(IPv4Address::loopback, port, "", true);
    if (auto failure = std::get_if<SocketFailure>(&opened)) return *failure;
    int fd = std::get<int>(opened);
    return TFTPListener{fd, boundPort(fd), 0, std::nullopt};
}

std::variant<TransferSocket, SocketFailure> openTransferSocket(IPv4Address localAddress,
                                                               const std::string& interfaceName) {
    auto opened = boundSocket(localAddress, 0, interfaceName, false);
    if (auto failure = std::get_if<SocketFailure>(&opened)) return *failure;
    int fd = std::get<int>(opened);
    auto port = boundPort(fd);
    if (port == 0) {
        int code = errno;
        ::close(fd);
        return SocketFailure{"getsockname", code};
    }
    return TransferSocket{fd, port};
}

Reception receiveDatagram(int fd, std::span<std::uint8_t> buffer) {
    alignas(std::size_t) std::uint8_t control[controlCapacity];
    for (int attempt = 0;; ++attempt) {
        sockaddr_in sender{};
        iovec vector{buffer.data(), buffer.size()};
        msghdr message{};
        message.msg_name = &sender;
        message.msg_namelen = sizeof sender;
        message.msg_iov = &vector;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t received = ::recvmsg(fd, &message, MSG_DONTWAIT);
        if (received < 0) {
            if (errno == EINTR && attempt < interruptedRetries) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return NothingWaiting{};
            return SocketFailure{"recvmsg", errno};
        }
        ReceivedDatagram datagram;
        // recvmsg returns the bytes copied, never more than the buffer; MSG_TRUNC says more were sent.
        datagram.length = std::min(static_cast<std::size_t>(received), buffer.size());
        datagram.truncated = (message.msg_flags & MSG_TRUNC) != 0;
        if (message.msg_namelen >= sizeof sender && sender.sin_family == AF_INET) {
            datagram.source = IPv4Address{ntohl(sender.sin_addr.s_addr)};
            datagram.sourcePort = ntohs(sender.sin_port);
        }
        auto controlLength = std::min<std::size_t>(message.msg_controllen, sizeof control);
        datagram.arrival = readPacketInfo({control, controlLength});
        return datagram;
    }
}

std::optional<SocketFailure> sendDatagram(int fd, std::span<const std::uint8_t> bytes, IPv4Address destination,
                                          std::uint16_t port) {
    auto target = socketAddress(destination, port);
    for (int attempt = 0;; ++attempt) {
        ssize_t sent = ::sendto(fd, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&target), sizeof target);
        if (sent < 0 && errno == EINTR && attempt < interruptedRetries) continue;
        if (sent < 0) return SocketFailure{"send to " + destination.description() + ":" + std::to_string(port), errno};
        if (static_cast<std::size_t>(sent) != bytes.size())
            return SocketFailure{"send to " + destination.description() + ":" + std::to_string(port), EIO};
        return std::nullopt;
    }
}

}  // namespace anvil
#endif
