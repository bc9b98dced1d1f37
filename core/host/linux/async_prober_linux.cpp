#if defined(__linux__)
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <map>
#include <system_error>
#include <unordered_map>

#include "core/host/async_prober.hpp"
#include "core/host/icmp_socket.hpp"
#include "core/host/linux/card_socket.hpp"
#include "core/host/prober.hpp"
#include "core/host/socket_address.hpp"

namespace anvil {

namespace {

using Clock = std::chrono::steady_clock;
using Descriptor = asio::posix::stream_descriptor;

// Datagrams read from an ICMP socket per wake-up, so a flood cannot hold the loop.
constexpr int readsPerWake = 256;

std::string tcpDetail(std::uint16_t port, const char* outcome) { return "tcp " + std::to_string(port) + " " + outcome; }

// A timeout that is no number, negative or beyond an hour must not overflow the deadline.
Clock::duration boundedTimeout(double timeout) {
    constexpr double longestTimeout = 3600;
    if (!(timeout > 0)) timeout = 0;
    timeout = std::min(timeout, longestTimeout);
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(timeout));
}

struct State : std::enable_shared_from_this<State> {
    struct Attempt {
        std::uint16_t port = 0;
        std::unique_ptr<Descriptor> socket;
    };

    struct Operation {
        IPv4Address ip;
        Clock::time_point start;
        bool echoSent = false;
        std::vector<Attempt> attempts;
        std::unique_ptr<asio::steady_timer> deadline;
        AsyncProber::Done done;
    };

    // One ICMP socket per card serves every probe through it; replies are told apart by source.
    struct Channel {
        std::uint64_t id = 0;
        std::unique_ptr<Descriptor> socket;
    };

    asio::io_context& loop;
    std::vector<std::uint16_t> tcpPorts;
    std::uint64_t nextID = 0;
    std::unordered_map<std::uint64_t, Operation> operations;
    std::unordered_multimap<IPv4Address, std::uint64_t> echoWaiters;
    std::map<std::string, Channel> channels;

    State(asio::io_context& loop, std::vector<std::uint16_t> tcpPorts) : loop(loop), tcpPorts(std::move(tcpPorts)) {}

    std::weak_ptr<State> weak() { return weak_from_this(); }

    void probe(const std::string& interfaceName, IPv4Address ip, double timeout, AsyncProber::Done done) {
        auto id = ++nextID;
        auto& operation = operations[id];
        operation.ip = ip;
        operation.start = Clock::now();
        operation.done = std::move(done);

        // A card that is gone must not let the probe leave through another one.
        if (!interfaceName.empty() &&
            (interfaceName.size() >= IFNAMSIZ || ::if_nametoindex(interfaceName.c_str()) == 0)) {
            finishSoon(id, ProbeResult::silent());
            return;
        }

        if (sendEcho(interfaceName, ip)) {
            operation.echoSent = true;
            echoWaiters.emplace(ip, id);
        }

        for (auto port : tcpPorts) {
            int fd = openCardSocket(SOCK_STREAM, IPPROTO_TCP, interfaceName);
            if (fd < 0) continue;
            auto destination = socketAddress(ip, port);
            int error = ::connect(fd, reinterpret_cast<const sockaddr*>(&destination), sizeof destination) == 0 ? 0 : errno;
            if (error == 0 || error == ECONNREFUSED) {
                ::close(fd);
                finishSoon(id, {true, tcpDetail(port, error == 0 ? "open" : "refused")});
                return;
            }
            if (error != EINPROGRESS) {
                ::close(fd);
                continue;
            }
            auto socket = watched(fd);
            if (!socket) continue;
            socket->async_wait(Descriptor::wait_write, [weak = weak(), id, port](const asio::error_code& failed) {
                if (failed) return;
                if (auto state = weak.lock()) state->connected(id, port);
            });
            operation.attempts.push_back({port, std::move(socket)});
        }

        if (!operation.echoSent && operation.attempts.empty()) {
            finishSoon(id, ProbeResult::silent());
            return;
        }
        operation.deadline = std::make_unique<asio::steady_timer>(loop, boundedTimeout(timeout));
        operation.deadline->async_wait([weak = weak(), id](const asio::error_code& cancelled) {
            if (cancelled) return;
            if (auto state = weak.lock()) state->finish(id, ProbeResult::silent());
        });
    }

    // The descriptor handed to the loop, which owns it from then on; none when the loop refuses it.
    std::unique_ptr<Descriptor> watched(int fd) {
        if (fd < 0) return nullptr;
        try {
            return std::make_unique<Descriptor>(loop, fd);
        } catch (const std::system_error&) {
            ::close(fd);
            return nullptr;
        }
    }

    void connected(std::uint64_t id, std::uint16_t port) {
        auto found = operations.find(id);
        if (found == operations.end()) return;
        auto& operation = found->second;
        auto attempt = std::find_if(operation.attempts.begin(), operation.attempts.end(),
                                    [port](const Attempt& each) { return each.port == port; });
        if (attempt == operation.attempts.end()) return;
        int error = 0;
        socklen_t length = sizeof error;
        if (::getsockopt(attempt->socket->native_handle(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
        if (error == 0 || error == ECONNREFUSED) {
            finish(id, {true, tcpDetail(port, error == 0 ? "open" : "refused")});
            return;
        }
        operation.attempts.erase(attempt);
        if (operation.attempts.empty() && !operation.echoSent) finish(id, ProbeResult::silent());
    }

    bool sendEcho(const std::string& interfaceName, IPv4Address ip) {
        auto request = Prober::echoRequest(static_cast<std::uint16_t>(::getpid()), 1);
        auto destination = socketAddress(ip, 0);
        for (int attempt = 0; attempt < 2; ++attempt) {
            auto* channel = channelFor(interfaceName);
            if (!channel) return false;
            auto sent = ::sendto(channel->socket->native_handle(), request.data(), request.size(), MSG_NOSIGNAL,
                                 reinterpret_cast<const sockaddr*>(&destination), sizeof destination);
            if (sent > 0) return true;
            // A card unplugged and plugged back in has a new index; the socket bound to the old one
            // is of no use any more.
            if (sent >= 0 || errno != ENODEV) return false;
            channels.erase(interfaceName);
        }
        return false;
    }

    Channel* channelFor(const std::string& interfaceName) {
        if (auto found = channels.find(interfaceName); found != channels.end()) return &found->second;
        auto socket = watched(openIcmpSocket(interfaceName));
        if (!socket) return nullptr;
        auto& channel = channels[interfaceName];
        channel.id = ++nextID;
        channel.socket = std::move(socket);
        awaitEcho(interfaceName, channel);
        return &channel;
    }

    void awaitEcho(const std::string& interfaceName, Channel& channel) {
        channel.socket->async_wait(Descriptor::wait_read, [weak = weak(), interfaceName, channelID = channel.id](
                                                              const asio::error_code& failed) {
            if (failed) return;
            if (auto state = weak.lock()) state->readEchoes(interfaceName, channelID);
        });
    }

    void readEchoes(const std::string& interfaceName, std::uint64_t channelID) {
        auto channel = channels.find(interfaceName);
        if (channel == channels.end() || channel->second.id != channelID) return;
        int fd = channel->second.socket->native_handle();
        std::vector<IPv4Address> answered;
        for (int count = 0; count < readsPerWake; ++count) {
            std::uint8_t buffer[1024];
            sockaddr_in source{};
            socklen_t sourceLength = sizeof source;
            auto size = ::recvfrom(fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&source), &sourceLength);
            if (size < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) break;
                continue;  // a queued ICMP error is reported once and then cleared
            }
            IPv4Address from{ntohl(source.sin_addr.s_addr)};
            if (Prober::isEchoReply({buffer, static_cast<std::size_t>(size)}, from, from)) answered.push_back(from);
        }
        awaitEcho(interfaceName, channel->second);
        auto now = Clock::now();
        for (auto ip : answered) {
            std::vector<std::uint64_t> ids;
            auto [first, last] = echoWaiters.equal_range(ip);
            for (auto waiter = first; waiter != last; ++waiter) ids.push_back(waiter->second);
            for (auto id : ids) {
                auto found = operations.find(id);
                if (found == operations.end()) continue;
                double milliseconds = std::chrono::duration<double, std::milli>(now - found->second.start).count();
                char detail[48];
                std::snprintf(detail, sizeof detail, "icmp %.1f ms", milliseconds);
                finish(id, {true, detail});
            }
        }
    }

    // Results found while starting a probe are handed over later, as every other result is.
    void finishSoon(std::uint64_t id, ProbeResult result) {
        asio::post(loop, [weak = weak(), id, result = std::move(result)] {
            if (auto state = weak.lock()) state->finish(id, result);
        });
    }

    void finish(std::uint64_t id, const ProbeResult& result) {
        auto found = operations.find(id);
        if (found == operations.end()) return;
        auto operation = std::move(found->second);
        operations.erase(found);
        auto [first, last] = echoWaiters.equal_range(operation.ip);
        for (auto waiter = first; waiter != last; ++waiter) {
            if (waiter->second != id) continue;
            echoWaiters.erase(waiter);
            break;
        }
        operation.attempts.clear();
        operation.deadline.reset();
        if (operations.empty()) closeIdleChannelsSoon();
        operation.done(result);
    }

    // Not at once: a channel may be in the middle of reading its replies.
    void closeIdleChannelsSoon() {
        asio::post(loop, [weak = weak()] {
            auto state = weak.lock();
            if (state && state->operations.empty()) state->channels.clear();
        });
    }

    void cancelAll() {
        operations.clear();
        echoWaiters.clear();
        channels.clear();
    }

    std::size_t openSockets() const {
        std::size_t count = channels.size();
        for (const auto& [id, operation] : operations) count += operation.attempts.size();
        return count;
    }
};

class LoopProber final : public AsyncProber {
public:
    LoopProber(asio::io_context& loop, std::vector<std::uint16_t> tcpPorts)
        : state_(std::make_shared<State>(loop, std::move(tcpPorts))) {}
    ~LoopProber() override { state_->cancelAll(); }

    void probe(const std::string& interfaceName, IPv4Address ip, double timeout, Done done) override {
        state_->probe(interfaceName, ip, timeout, std::move(done));
    }
    void cancelAll() override { state_->cancelAll(); }
    std::size_t openSockets() const override { return state_->openSockets(); }

private:
    std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<AsyncProber> AsyncProber::onLoop(asio::io_context& loop, std::vector<std::uint16_t> tcpPorts) {
    return std::make_unique<LoopProber>(loop, std::move(tcpPorts));
}

ProbeResult Prober::probe(IPv4Address ip, double timeout) const {
    asio::io_context loop;
    auto prober = AsyncProber::onLoop(loop, tcpPorts);
    auto result = ProbeResult::silent();
    prober->probe(interfaceName_, ip, timeout, [&result](ProbeResult found) { result = std::move(found); });
    loop.run();
    return result;
}

}  // namespace anvil
#endif
