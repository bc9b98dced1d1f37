#pragma once
// One rtnetlink dump read whole from the kernel, bounded. Header-only: dhcpanvil-helper links
// nothing of ours.
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

namespace anvil::netlink {

// Larger than any table this program has reason to read; a bigger one is a failure, not a guess.
inline constexpr std::size_t largestDump = 8 * 1024 * 1024;

// The replies to a dump request of `type` with the family header `request`, up to and with the
// done message; nothing when the request fails, the kernel reports an error, the dump was
// interrupted by a change, or it is larger than `limit`. Only the kernel's replies are read:
// another process may send to our port, but never as port 0.
inline std::optional<std::vector<std::uint8_t>> boundedDump(std::uint16_t type, std::span<const std::uint8_t> request,
                                                            int protocol = NETLINK_ROUTE,
                                                            std::size_t limit = largestDump) {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (fd < 0) return std::nullopt;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    constexpr std::uint32_t sequence = 1;
    std::vector<std::uint8_t> message(NLMSG_LENGTH(request.size()));
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(message.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = sequence;
    std::memcpy(message.data(), &header, sizeof header);
    if (!request.empty()) std::memcpy(message.data() + NLMSG_HDRLEN, request.data(), request.size());
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0)
        return std::nullopt;

    std::vector<std::uint8_t> replies;
    std::vector<std::uint8_t> buffer(1 << 16);
    while (replies.size() <= limit) {
        sockaddr_nl from{};
        iovec vector{buffer.data(), buffer.size()};
        msghdr received{};
        received.msg_name = &from;
        received.msg_namelen = sizeof from;
        received.msg_iov = &vector;
        received.msg_iovlen = 1;
        ssize_t length = ::recvmsg(fd, &received, 0);
        if (length < 0 && errno == EINTR) continue;
        // A timeout or a cut message would pass a partial table for a whole one.
        if (length <= 0 || (received.msg_flags & MSG_TRUNC)) return std::nullopt;
        if (from.nl_pid != 0) continue;
        std::size_t offset = 0, size = static_cast<std::size_t>(length);
        while (size - offset >= sizeof(nlmsghdr)) {
            nlmsghdr part{};
            std::memcpy(&part, buffer.data() + offset, sizeof part);
            if (part.nlmsg_len < sizeof part || part.nlmsg_len > size - offset) return std::nullopt;
            if (part.nlmsg_seq != sequence) {
                offset += std::min<std::size_t>(NLMSG_ALIGN(part.nlmsg_len), size - offset);
                continue;
            }
            if (part.nlmsg_flags & NLM_F_DUMP_INTR) return std::nullopt;
            if (part.nlmsg_type == NLMSG_ERROR) return std::nullopt;
            std::size_t whole = std::min<std::size_t>(NLMSG_ALIGN(part.nlmsg_len), size - offset);
            if (replies.size() + whole > limit) return std::nullopt;
            replies.insert(replies.end(), buffer.begin() + static_cast<std::ptrdiff_t>(offset),
                           buffer.begin() + static_cast<std::ptrdiff_t>(offset + whole));
            if (part.nlmsg_type == NLMSG_DONE) {
                // The done message carries the dump's error code, 0 when it is whole.
                std::int32_t error = 0;
                if (part.nlmsg_len >= NLMSG_LENGTH(sizeof error))
                    std::memcpy(&error, buffer.data() + offset + NLMSG_HDRLEN, sizeof error);
                if (error != 0) return std::nullopt;
                return replies;
            }
            offset += whole;
        }
    }
    return std::nullopt;
}

}  // namespace anvil::netlink
