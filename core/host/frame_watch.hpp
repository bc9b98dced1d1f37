#pragma once
// Watching a bench card's cable: a packet socket that passes only ARP, LLDP and IPv4 UDP to port 69,
// opened here when this process has the right, else relayed frame by frame by the helper, which
// keeps the packet socket to itself. Receiving never sends a frame.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>
#include <variant>

#include "core/host/privilege_helper.hpp"

namespace anvil {

// An owned, non-blocking, close-on-exec descriptor from which each read is one whole frame the
// card received (never one it sent), cut to largestWatchedFrame bytes.
struct FrameWatch {
    int fd = -1;
    std::uint32_t interfaceIndex = 0;
    // The helper relaying the frames, or -1 when the packet socket is this process's own.
    pid_t relay = -1;
};

// The watch of `interfaceName`: the packet socket itself when this process may open one (root, or
// cap_net_raw effective), else through the helper at `helperPath` ("<card> watch").
std::variant<FrameWatch, PrivilegeHelper::Failure> openFrameWatch(const std::string& interfaceName,
                                                                   const std::string& helperPath = PrivilegeHelper::path());

// Closes the descriptor and, for a relay, waits for the helper to exit (it does once its end closes).
void closeFrameWatch(FrameWatch& watch);

// One frame read without blocking.
struct WatchedBytes {
    std::size_t length = 0;  // bytes in the buffer
    friend bool operator==(const WatchedBytes&, const WatchedBytes&) = default;
};
struct NoFrameWaiting {
    friend bool operator==(NoFrameWaiting, NoFrameWaiting) = default;
};
// The watch ended: the helper exited or let go of the card, or the card went away.
struct WatchEnded {
    int code = 0;  // errno, or 0 when the relay closed
    std::string reason;  // the helper's sentence when it let go of a card that stopped being a bench card
    friend bool operator==(const WatchEnded&, const WatchEnded&) = default;
};
using FrameReception = std::variant<WatchedBytes, NoFrameWaiting, WatchEnded>;

// `buffer` should hold largestWatchedFrame (1518) bytes.
FrameReception receiveFrame(const FrameWatch& watch, std::span<std::uint8_t> buffer);

}  // namespace anvil
