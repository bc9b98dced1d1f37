#if defined(__linux__)
#include "core/host/linux/netlink_socket.hpp"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstring>

namespace anvil {

std::optional<Bytes> netlink::dump(std::uint16_t type, std::span<const std::uint8_t> request, int protocol) {
    int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, protocol);
    if (fd < 0) return std::nullopt;
    timeval timeout{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    Bytes message(NLMSG_LENGTH(request.size()));
    nlmsghdr header{};
    header.nlmsg_len = static_cast<std::uint32_t>(message.size());
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    header.nlmsg_seq = 1;
    std::memcpy(message.data(), &header, sizeof header);
    std::memcpy(message.data() + NLMSG_HDRLEN, request.data(), request.size());
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        close(fd);
        return std::nullopt;
    }

    Bytes replies;
    std::vector<std::uint8_t> buffer(1 << 16);
    // A dump ends with NLMSG_DONE; the bound only guards against a kernel that never says so.
    for (int reads = 0; reads < 10000; ++reads) {
        auto received = recv(fd, buffer.data(), buffer.size(), 0);
        if (received <= 0) break;
        bool finished = false;
        std::size_t offset = 0;
        while (offset + sizeof(nlmsghdr) <= static_cast<std::size_t>(received)) {
            nlmsghdr part{};
            std::memcpy(&part, buffer.data() + offset, sizeof part);
            if (part.nlmsg_len < sizeof part) break;
            if (part.nlmsg_type == NLMSG_DONE || part.nlmsg_type == NLMSG_ERROR) finished = true;
            offset += NLMSG_ALIGN(part.nlmsg_len);
        }
        replies.insert(replies.end(), buffer.begin(), buffer.begin() + received);
        if (finished) {
            close(fd);
            return replies;
        }
    }
    // A dump cut short by the timeout would pass for a whole table.
    close(fd);
    return std::nullopt;
}

}  // namespace anvil
#endif
