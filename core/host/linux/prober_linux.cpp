#if defined(__linux__)
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "core/host/icmp_socket.hpp"
#include "core/host/prober.hpp"
#include "core/host/socket_address.hpp"

namespace anvil {

namespace {

using Clock = std::chrono::steady_clock;

struct Outstanding {
    int fd = -1;
    bool isICMP = false;
    std::uint16_t port = 0;
};

// Open, bind to the card when one is named, and switch to non-blocking; -1 on any failure.
int probeSocket(int type, int protocol, const std::string& interfaceName) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    if (fd < 0) return -1;
    bool ready = true;
    if (!interfaceName.empty())
        ready = setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interfaceName.c_str(),
                           static_cast<socklen_t>(interfaceName.size())) == 0;
    if (ready) {
        int flags = fcntl(fd, F_GETFL);
        ready = flags >= 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
    }
    if (!ready) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string tcpDetail(std::uint16_t port, const char* outcome) { return "tcp " + std::to_string(port) + " " + outcome; }

}  // namespace

ProbeResult Prober::probe(IPv4Address ip, double timeout) const {
    auto start = Clock::now();
    // A card that is gone must not let the probe leave through another one.
    if (!interfaceName_.empty() && (interfaceName_.size() >= IFNAMSIZ || if_nametoindex(interfaceName_.c_str()) == 0))
        return ProbeResult::silent();

    std::vector<Outstanding> outstanding;
    auto closeAll = [&outstanding] {
        for (auto& entry : outstanding) close(entry.fd);
        outstanding.clear();
    };

    int icmp = openIcmpSocket(interfaceName_);
    if (icmp >= 0) {
        auto request = echoRequest(static_cast<std::uint16_t>(getpid()), 1);
        auto destination = socketAddress(ip, 0);
        auto sent = sendto(icmp, request.data(), request.size(), MSG_NOSIGNAL,
                           reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
        if (sent > 0)
            outstanding.push_back({icmp, true, 0});
        else
            close(icmp);
    }

    for (auto port : tcpPorts) {
        int fd = probeSocket(SOCK_STREAM, IPPROTO_TCP, interfaceName_);
        if (fd < 0) continue;
        auto destination = socketAddress(ip, port);
        if (connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0) {
            close(fd);
            closeAll();
            return {true, tcpDetail(port, "open")};
        }
        int error = errno;
        if (error == ECONNREFUSED) {
            close(fd);
            closeAll();
            return {true, tcpDetail(port, "refused")};
        }
        if (error == EINPROGRESS)
            outstanding.push_back({fd, false, port});
        else
            close(fd);
    }

    // A timeout that is no number, negative or beyond an hour must not overflow the deadline.
    constexpr double longestTimeout = 3600;
    if (!(timeout > 0)) timeout = 0;
    timeout = std::min(timeout, longestTimeout);
    auto deadline = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
    while (!outstanding.empty() && Clock::now() < deadline) {
        std::vector<pollfd> polled;
        for (const auto& entry : outstanding)
            polled.push_back({entry.fd, static_cast<short>(entry.isICMP ? POLLIN : POLLOUT), 0});
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int ready = poll(polled.data(), polled.size(), static_cast<int>(std::max<long long>(left, 1)));
        if (ready <= 0) break;

        std::vector<Outstanding> remaining;
        std::optional<ProbeResult> result;
        for (std::size_t i = 0; i < outstanding.size(); ++i) {
            auto entry = outstanding[i];
            if (result || polled[i].revents == 0) {
                remaining.push_back(entry);
                continue;
            }
            if (entry.isICMP) {
                std::uint8_t buffer[1024];
                sockaddr_in source{};
                socklen_t sourceLength = sizeof source;
                auto count =
                    recvfrom(entry.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source), &sourceLength);
                remaining.push_back(entry);
                if (count <= 0) continue;
                if (isEchoReply({buffer, static_cast<std::size_t>(count)}, IPv4Address{ntohl(source.sin_addr.s_addr)},
                                ip)) {
                    double milliseconds = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
                    char detail[48];
                    std::snprintf(detail, sizeof detail, "icmp %.1f ms", milliseconds);
                    result = ProbeResult{true, detail};
                }
            } else {
                int error = 0;
                socklen_t length = sizeof error;
                if (getsockopt(entry.fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
                if (error == 0) {
                    result = ProbeResult{true, tcpDetail(entry.port, "open")};
                    remaining.push_back(entry);
                } else if (error == ECONNREFUSED) {
                    result = ProbeResult{true, tcpDetail(entry.port, "refused")};
                    remaining.push_back(entry);
                } else {
                    close(entry.fd);
                }
            }
        }
        outstanding = std::move(remaining);
        if (result) {
            closeAll();
            return *result;
        }
    }
    closeAll();
    return ProbeResult::silent();
}

}  // namespace anvil
#endif
