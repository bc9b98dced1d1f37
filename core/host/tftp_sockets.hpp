#pragma once
// The TFTP server's sockets: a card's port 69, one socket per transfer, and receiving on either.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "core/addressing/ipv4_address.hpp"
#include "core/host/packet_info.hpp"
#include "core/host/privilege_helper.hpp"

namespace anvil {

// A socket call that failed: the operation in the system's words ("bind 10.0.0.1:0") and errno.
struct SocketFailure {
    std::string operation;
    int code = 0;
    // "<operation> failed: <strerror> (errno N)", as the transport's errors read.
    std::string description() const;
    friend bool operator==(const SocketFailure&, const SocketFailure&) = default;
};

// An owned, non-blocking, close-on-exec UDP socket with IP_PKTINFO on, or the helper's relay of
// one (`fd` is then the relay's end). Closed by closeTFTPListener.
struct TFTPListener {
    int fd = -1;
    std::uint16_t port = 0;
    std::uint32_t interfaceIndex = 0;  // 0 on loopback
    std::optional<PrivilegeHelper::RelayedSocket> relay;
};

// 0.0.0.0:69 bound to the card: opened here when PrivilegeHelper::notNeeded(), else held by the helper.
std::variant<TFTPListener, SocketFailure> openTFTPListener(const std::string& interfaceName);
void closeTFTPListener(TFTPListener& listener);

// 127.0.0.1:`port` (0 picks one), for the loopback test mode and tests.
std::variant<TFTPListener, SocketFailure> openTFTPLoopbackListener(std::uint16_t port);

// An owned, non-blocking, close-on-exec UDP socket of one transfer, bound to `localAddress` (the
// address the request was sent to) on an ephemeral port. The caller closes `fd`.
struct TransferSocket {
    int fd = -1;
    std::uint16_t port = 0;
};

// Bound to the card when `interfaceName` is not empty (loopback: empty).
std::variant<TransferSocket, SocketFailure> openTransferSocket(IPv4Address localAddress,
                                                               const std::string& interfaceName);

// Room for the largest UDP payload, so that no datagram is read cut short unnoticed.
constexpr std::size_t largestDatagram = 65536;

// One datagram read into the caller's buffer.
struct ReceivedDatagram {
    std::size_t length = 0;  // bytes in the buffer
    bool truncated = false;  // longer than the buffer; only `length` bytes are there
    IPv4Address source;
    std::uint16_t sourcePort = 0;
    std::optional<PacketInfo> arrival;  // nothing on a socket without IP_PKTINFO
};

// Nothing is waiting on the socket.
struct NothingWaiting {
    friend bool operator==(NothingWaiting, NothingWaiting) = default;
};

using Reception = std::variant<ReceivedDatagram, NothingWaiting, SocketFailure>;

// Reads one datagram without blocking; `buffer` should hold largestDatagram bytes.
Reception receiveDatagram(int fd, std::span<std::uint8_t> buffer);

// The helper let go of the listener's card, saying why (empty: it exited without a word).
struct ListenerEnded {
    std::string reason;
    friend bool operator==(const ListenerEnded&, const ListenerEnded&) = default;
};
using RequestReception = std::variant<ReceivedDatagram, NothingWaiting, SocketFailure, ListenerEnded>;

// One request read from the listener, directly or through the helper's relay.
RequestReception receiveRequest(const TFTPListener& listener, std::span<std::uint8_t> buffer);
// An answer sent from the listener's port.
std::optional<SocketFailure> sendFromListener(const TFTPListener& listener, std::span<const std::uint8_t> bytes,
                                              IPv4Address destination, std::uint16_t port);

// Sends one datagram without blocking; a full send queue is a failure (EAGAIN) the caller may
// treat as a lost datagram, which TFTP's retransmission covers.
std::optional<SocketFailure> sendDatagram(int fd, std::span<const std::uint8_t> bytes, IPv4Address destination,
                                          std::uint16_t port);

}  // namespace anvil
