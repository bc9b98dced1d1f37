#if defined(__linux__)
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>

#include "core/host/datagram_relay.hpp"
#include "core/host/datagram_relay_frame.hpp"
#include "core/host/linux/watch_relay.hpp"

namespace anvil {

namespace {

// The helper answers a send at once; one that does not within this is stuck.
constexpr int sendResultMilliseconds = 1000;
// A signal between two messages is not an error; an endless stream of them is not ours to wait out.
constexpr int interruptedRetries = 8;

}  // namespace

RelayReception receiveRelayed(const PrivilegeHelper::RelayedSocket& socket, std::span<std::uint8_t> payload) {
    std::uint8_t header[RelayFrame::datagramHeaderLength];
    // The helper's messages are few kinds; anything else on the pair is read and passed over.
    for (int attempt = 0; attempt < interruptedRetries; ++attempt) {
        iovec pieces[2] = {{header, sizeof header}, {payload.data(), payload.size()}};
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = 2;
        ssize_t length = ::recvmsg(socket.fd, &message, MSG_DONTWAIT);
        if (length < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return RelayQuiet{};
            return RelayEnded{};
        }
        // The helper never sends an empty message: this is its end closing.
        if (length == 0) return RelayEnded{};
        auto received = static_cast<std::size_t>(length);
        if (header[0] == static_cast<std::uint8_t>(RelayFrame::Kind::ended)) {
            std::string bytes(reinterpret_cast<const char*>(header), std::min(received, sizeof header));
            if (received > sizeof header)
                bytes.append(reinterpret_cast<const char*>(payload.data()), received - sizeof header);
            auto read = RelayFrame::read({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()});
            if (auto ended = read ? std::get_if<RelayFrame::Ended>(&*read) : nullptr)
                return RelayEnded{std::string(ended->reason)};
            return RelayEnded{};
        }
        if (received < sizeof header) continue;
        // The header read alone; the payload is whatever followed it.
        auto read = RelayFrame::read({header, sizeof header});
        auto datagram = read ? std::get_if<RelayFrame::Datagram>(&*read) : nullptr;
        if (!datagram) continue;
        RelayedDatagram relayed;
        relayed.length = std::min(received - sizeof header, payload.size());
        relayed.truncated = (message.msg_flags & MSG_TRUNC) != 0;
        relayed.source = IPv4Address{datagram->header.source};
        relayed.sourcePort = datagram->header.sourcePort;
        relayed.arrival = PacketInfo{datagram->header.interfaceIndex, IPv4Address{datagram->header.localAddress},
                                     IPv4Address{datagram->header.destination}};
        return relayed;
    }
    return RelayQuiet{};
}

int sendRelayed(const PrivilegeHelper::RelayedSocket& socket, std::span<const std::uint8_t> bytes,
                IPv4Address destination, std::uint16_t port) {
    if (bytes.size() > RelayFrame::largestPayload) return EMSGSIZE;
    std::uint8_t stale[RelayFrame::sendResultLength];
    // A result that came after its send gave up must not answer this one.
    while (::recv(socket.sendFD, stale, sizeof stale, MSG_DONTWAIT) > 0) {
    }
    auto header = RelayFrame::sendHeader({destination.value, port});
    iovec pieces[2] = {{header.data(), header.size()}, {const_cast<std::uint8_t*>(bytes.data()), bytes.size()}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    ssize_t sent = -1;
    for (int attempt = 0; attempt < interruptedRetries && sent < 0; ++attempt) {
        sent = ::sendmsg(socket.sendFD, &message, MSG_NOSIGNAL);
        if (sent < 0 && errno != EINTR) return errno;
    }
    if (sent < 0) return EINTR;
    pollfd polled{socket.sendFD, POLLIN, 0};
    for (int attempt = 0; attempt < interruptedRetries; ++attempt) {
        int ready = ::poll(&polled, 1, sendResultMilliseconds);
        if (ready == 0) return ETIMEDOUT;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        std::uint8_t answer[RelayFrame::sendResultLength + 1];
        ssize_t length = ::recv(socket.sendFD, answer, sizeof answer, MSG_DONTWAIT);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0) return EPIPE;
        auto read = RelayFrame::read({answer, static_cast<std::size_t>(length)});
        auto result = read ? std::get_if<RelayFrame::SendResult>(&*read) : nullptr;
        if (!result) return EPROTO;
        return result->code;
    }
    return EINTR;
}

void closeRelayedSocket(PrivilegeHelper::RelayedSocket& socket) {
    if (socket.fd >= 0) ::close(socket.fd);
    if (socket.sendFD >= 0) ::close(socket.sendFD);
    PrivilegeHelper::endWatchRelay(socket.relay);
    socket = PrivilegeHelper::RelayedSocket{};
}

}  // namespace anvil
#endif
