#if defined(__linux__)
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "core/host/bench_card_rule.hpp"
#include "core/host/datagram_relay_frame.hpp"
#include "core/host/frame_watch.hpp"
#include "core/host/linux/bench_card_facts.hpp"
#include "core/host/linux/watch_relay.hpp"
#include "core/host/watch_filter.hpp"

namespace anvil {

namespace {

using Failure = PrivilegeHelper::Failure;

// Root watches only what the helper would: a bench card. The name was checked before it reached
// a path; a card whose facts cannot be read is refused rather than watched on a guess.
std::optional<Failure> benchCardFailure(const std::string& name, unsigned index) {
    auto refused = [](const std::string& reason) { return Failure{"watch a card (" + reason + ")", EPERM}; };
    auto card = BenchCardFacts::readBenchCardFacts(name, index);
    if (!card) return refused("card " + name + " cannot be checked: its links, its routes or /sys/class/net cannot be read");
    if (auto problem = BenchCardRule::refusal(*card)) return refused(*problem);
    return std::nullopt;
}

// The packet socket itself, with the same steps the helper takes.
std::variant<FrameWatch, Failure> openPacketSocket(const std::string& name) {
    if (auto problem = BenchCardRule::nameProblem(name)) return Failure{"watch a card (" + *problem + ")", EPERM};
    unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) return Failure{"find interface " + name, ENXIO};
    if (auto refused = benchCardFailure(name, index)) return *refused;

    // Protocol 0 receives nothing until the bind, which comes after the filter is in place.
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return Failure{"socket AF_PACKET", errno};
    auto fail = [fd](std::string operation) {
        int code = errno;
        ::close(fd);
        return Failure{std::move(operation), code};
    };
    sock_fprog filter = WatchFilter::attachable();
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0)
        return fail("setsockopt SO_ATTACH_FILTER");
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on) != 0) return fail("setsockopt SO_LOCK_FILTER");
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(index);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail("bind packet socket to " + name);
    std::uint8_t discarded[1];
    while (::recv(fd, discarded, sizeof discarded, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
    return FrameWatch{fd, index, -1};
}

FrameReception failedReception(int code) {
    if (code == EAGAIN || code == EWOULDBLOCK || code == EINTR) return NoFrameWaiting{};
    return WatchEnded{code, {}};
}

}  // namespace

std::variant<FrameWatch, Failure> openFrameWatch(const std::string& interfaceName, const std::string& helperPath) {
    if (PrivilegeHelper::watchNotNeeded()) return openPacketSocket(interfaceName);
    return PrivilegeHelper::startWatchRelay(interfaceName, helperPath);
}

void closeFrameWatch(FrameWatch& watch) {
    if (watch.fd >= 0) ::close(watch.fd);
    PrivilegeHelper::endWatchRelay(watch.relay);
    watch = FrameWatch{};
}

FrameReception receiveFrame(const FrameWatch& watch, std::span<std::uint8_t> buffer) {
    if (watch.fd < 0) return WatchEnded{EBADF, {}};
    if (watch.relay >= 0) {
        // Each message is a kind byte and then a frame, or the sentence the relay ended with.
        std::uint8_t kind = 0;
        iovec pieces[2] = {{&kind, 1}, {buffer.data(), buffer.size()}};
        msghdr message{};
        message.msg_iov = pieces;
        message.msg_iovlen = 2;
        ssize_t length = ::recvmsg(watch.fd, &message, MSG_DONTWAIT);
        if (length < 0) return failedReception(errno);
        // The helper never sends an empty message: this is its end closing.
        if (length == 0) return WatchEnded{0, {}};
        auto kept = std::min(static_cast<std::size_t>(length) - 1, buffer.size());
        if (kind == static_cast<std::uint8_t>(RelayFrame::Kind::ended)) {
            std::vector<std::uint8_t> bytes{kind};
            bytes.insert(bytes.end(), buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(kept));
            auto read = RelayFrame::read(bytes);
            auto ended = read ? std::get_if<RelayFrame::Ended>(&*read) : nullptr;
            return WatchEnded{0, ended ? std::string(ended->reason) : std::string()};
        }
        if (kind != static_cast<std::uint8_t>(RelayFrame::Kind::frame) || kept == 0) return NoFrameWaiting{};
        return WatchedBytes{kept};
    }
    sockaddr_ll from{};
    socklen_t fromLength = sizeof from;
    ssize_t length = ::recvfrom(watch.fd, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
    if (length < 0) return failedReception(errno);
    // No frame is empty: a zero-length read is a stream's end (tests hand a socket pair here).
    if (length == 0) return WatchEnded{0, {}};
    // What this computer sent is not a neighbour's.
    if (from.sll_pkttype == PACKET_OUTGOING) return NoFrameWaiting{};
    return WatchedBytes{std::min(static_cast<std::size_t>(length), buffer.size())};
}

}  // namespace anvil
#endif
