#include "core/dhcp_service/udp_transport.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "core/host/datagram_relay.hpp"
#include "core/host/packet_info.hpp"
#include "core/host/privilege_helper.hpp"
#include "core/host/socket_address.hpp"

namespace anvil {

namespace {

constexpr std::size_t payloadCapacity = 2048;
constexpr std::size_t controlCapacity = 256;
constexpr std::uint16_t serverPort = 67;
constexpr std::uint16_t clientPort = 68;

}  // namespace

std::optional<std::uint32_t> arrivalInterfaceIndex(std::span<const std::uint8_t> control) {
    if (auto info = readPacketInfo(control)) return info->interfaceIndex;
    return std::nullopt;
}

void UDPTransport::open() {
    if (fd_ >= 0) return;
    if (opener_ == Opener::helper && !mode_.isLoopback()) return openThroughHelper();
    // Close-on-exec: no child process (an adapter command, the helper) may keep port 67.
    int socketFD = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socketFD < 0) throw TransportError("socket", errno);
    auto fail = [&](std::string operation, int code) {
        ::close(socketFD);
        throw TransportError(std::move(operation), code);
    };

    int on = 1;
    if (::setsockopt(socketFD, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) fail("setsockopt SO_BROADCAST", errno);
    if (::setsockopt(socketFD, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) fail("setsockopt IP_PKTINFO", errno);

    auto name = interfaceName();
    unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) fail("find interface " + name, ENXIO);
    // Binding to the device must come before bind() so that no datagram of another card is queued.
    if (::setsockopt(socketFD, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), static_cast<socklen_t>(name.size())) != 0)
        fail("setsockopt SO_BINDTODEVICE", errno);

    auto loopback = std::get_if<TransportMode::Loopback>(&mode_.value);
    IPv4Address address = loopback ? IPv4Address::loopback : IPv4Address::zero;
    std::uint16_t port = loopback ? loopback->serverPort : serverPort;
    auto bound = socketAddress(address, port);
    if (::bind(socketFD, reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0)
        fail("bind " + address.description() + ":" + std::to_string(port), errno);

    int flags = ::fcntl(socketFD, F_GETFL);
    if (flags < 0 || ::fcntl(socketFD, F_SETFL, flags | O_NONBLOCK) != 0) fail("fcntl O_NONBLOCK", errno);

    fd_ = socketFD;
    interfaceIndex_ = index;
}

void UDPTransport::openThroughHelper() {
    auto answer = PrivilegeHelper::openServerSocket(interfaceName());
    if (auto failure = std::get_if<PrivilegeHelper::Failure>(&answer))
        throw TransportError(failure->operation, failure->code);
    relay_ = std::get<PrivilegeHelper::RelayedSocket>(answer);
    fd_ = relay_->fd;
    interfaceIndex_ = relay_->interfaceIndex;
}

std::optional<Datagram> UDPTransport::receive() {
    // One buffer for every receive: the read that finds nothing waiting, one per batch, then
    // costs no allocation, and a datagram only its own length.
    receiving_.resize(payloadCapacity);
    auto received = [this](std::size_t length) {
        return Bytes(receiving_.begin(), receiving_.begin() + static_cast<std::ptrdiff_t>(length));
    };
    if (relay_) {
        auto reception = receiveRelayed(*relay_, receiving_);
        if (auto ended = std::get_if<RelayEnded>(&reception)) throw TransportEnded(ended->reason);
        auto datagram = std::get_if<RelayedDatagram>(&reception);
        if (!datagram) return std::nullopt;
        std::optional<std::uint32_t> index;
        if (datagram->arrival.interfaceIndex != 0) index = datagram->arrival.interfaceIndex;
        return Datagram{received(datagram->length), index, datagram->source, datagram->sourcePort};
    }
    alignas(std::size_t) std::uint8_t control[controlCapacity];
    sockaddr_in sender{};
    iovec vector{receiving_.data(), receiving_.size()};
    msghdr message{};
    message.msg_name = &sender;
    message.msg_namelen = sizeof sender;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;

    ssize_t length = ::recvmsg(fd_, &message, 0);
    if (length < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
        throw TransportError("recvmsg", errno);
    }
    auto controlLength = std::min<std::size_t>(message.msg_controllen, sizeof control);
    return Datagram{received(static_cast<std::size_t>(length)), arrivalInterfaceIndex({control, controlLength}),
                    IPv4Address{ntohl(sender.sin_addr.s_addr)}, ntohs(sender.sin_port)};
}

void UDPTransport::send(const Bytes& bytes, const ReplyDestination& destination) {
    auto loopback = std::get_if<TransportMode::Loopback>(&mode_.value);
    IPv4Address address = loopback ? IPv4Address::loopback : destination.address();
    std::uint16_t port = loopback ? loopback->clientPort : clientPort;
    if (relay_) {
        std::lock_guard lock(relaySending_);
        if (int code = sendRelayed(*relay_, bytes, address, port))
            throw TransportError("send to " + address.description() + ":" + std::to_string(port), code);
        return;
    }
    auto target = socketAddress(address, port);
    ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&target),
                            sizeof target);
    if (sent < 0 || static_cast<std::size_t>(sent) != bytes.size())
        throw TransportError("send to " + address.description() + ":" + std::to_string(port), sent < 0 ? errno : EIO);
}

void UDPTransport::close() {
    if (fd_ < 0) return;
    if (relay_) {
        std::lock_guard lock(relaySending_);
        closeRelayedSocket(*relay_);
        relay_.reset();
    } else {
        ::close(fd_);
    }
    fd_ = -1;
}

std::unique_ptr<Transport> makeSystemTransport(const TransportMode& mode) {
    auto opener = PrivilegeHelper::notNeeded() ? UDPTransport::Opener::thisProcess : UDPTransport::Opener::helper;
    return std::make_unique<UDPTransport>(mode, opener);
}

}  // namespace anvil
