#include "tools/load_run.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <unordered_set>

#include "core/dhcp/option_code.hpp"
#include "tools/client_messages.hpp"
#include "tools/loopback_client.hpp"

namespace anvil::load {

namespace {

using Clock = std::chrono::steady_clock;

enum class Step { discovering, requesting, renewing, idle };

struct Device {
    MACAddress mac;
    Step step = Step::idle;
    std::uint16_t sequence = 0;
    DHCPPacket lastSent;
    int attempts = 0;
    Clock::time_point deadline;
    Clock::time_point exchangeStart;
    IPv4Address address;
    IPv4Address server;
};

MACAddress deviceMAC(std::uint16_t salt, int index) {
    // Locally administered, unicast.
    return MACAddress{{0x02, static_cast<std::uint8_t>(salt >> 8), static_cast<std::uint8_t>(salt),
                       static_cast<std::uint8_t>(index >> 16), static_cast<std::uint8_t>(index >> 8),
                       static_cast<std::uint8_t>(index)}};
}

std::uint32_t transactionID(int device, std::uint16_t sequence) {
    return (static_cast<std::uint32_t>(device) << 16) | sequence;
}

class Run {
public:
    explicit Run(const LoadOptions& options) : options_(options), client_(options.serverPort, options.clientPort) {
        for (int index = 0; index < options.devices; ++index) {
            Device device;
            device.mac = deviceMAC(options.macSalt, index);
            devices_.push_back(std::move(device));
        }
    }

    LoadResult run(const ProgressReport& progress) {
        auto start = Clock::now();
        auto lastReport = start;
        for (int index = 0; index < static_cast<int>(devices_.size()); ++index) beginExchange(index);
        while (result_.completed + result_.failed < options_.exchanges) {
            auto reply = client_.receive(timeUntilNextDeadline());
            if (reply) handle(*reply);
            retryOverdue();
            if (progress && Clock::now() - lastReport > std::chrono::milliseconds(500)) {
                lastReport = Clock::now();
                progress(result_.completed, options_.exchanges);
            }
        }
        result_.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        result_.distinctAddresses = static_cast<int>(addresses_.size());
        if (progress) progress(result_.completed, options_.exchanges);
        return result_;
    }

private:
    std::chrono::milliseconds timeUntilNextDeadline() const {
        auto now = Clock::now();
        auto next = now + std::chrono::milliseconds(options_.stepTimeoutMs);
        for (const auto& device : devices_)
            if (device.step != Step::idle) next = std::min(next, device.deadline);
        return std::chrono::duration_cast<std::chrono::milliseconds>(next - now) + std::chrono::milliseconds(1);
    }

    bool exchangesLeft() const { return started_ < options_.exchanges; }

    void beginExchange(int index) {
        auto& device = devices_[index];
        if (!exchangesLeft()) {
            device.step = Step::idle;
            return;
        }
        if (options_.newDevices) device.mac = deviceMAC(options_.macSalt, started_);
        ++started_;
        device.exchangeStart = Clock::now();
        transmit(index, Step::discovering, discover(device.mac, nextID(index)));
    }

    std::uint32_t nextID(int index) { return transactionID(index, ++devices_[index].sequence); }

    void transmit(int index, Step step, DHCPPacket packet) {
        auto& device = devices_[index];
        device.step = step;
        device.attempts = 1;
        device.lastSent = std::move(packet);
        device.deadline = Clock::now() + std::chrono::milliseconds(options_.stepTimeoutMs);
        client_.send(device.lastSent);
    }

    void handle(const DHCPPacket& reply) {
        int index = static_cast<int>(reply.xid >> 16);
        if (reply.op != 2 || index >= static_cast<int>(devices_.size())) return;
        auto& device = devices_[index];
        if (device.step == Step::idle || reply.xid != device.lastSent.xid || reply.mac() != device.mac) return;
        auto type = reply.messageType();
        if (type == DHCPMessageType::nak) {
            ++result_.naks;
            finishExchange(index, false);
            return;
        }
        if (device.step == Step::discovering && type == DHCPMessageType::offer) {
            device.address = reply.yiaddr;
            device.server = reply.serverID().value_or(IPv4Address::zero);
            transmit(index, Step::requesting,
                     selectingRequest(device.mac, device.lastSent.xid, device.address, device.server));
        } else if (device.step == Step::requesting && type == DHCPMessageType::ack) {
            result_.latenciesMs.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - device.exchangeStart).count());
            addresses_.insert(reply.yiaddr.value);
            if (options_.renew) {
                transmit(index, Step::renewing, renewingRequest(device.mac, nextID(index), device.address));
            } else {
                finishExchange(index, true);
            }
        } else if (device.step == Step::renewing && type == DHCPMessageType::ack) {
            finishExchange(index, true);
        }
    }

    void finishExchange(int index, bool acknowledged) {
        auto& device = devices_[index];
        if (acknowledged) {
            ++result_.completed;
            if (options_.release || options_.newDevices)
                client_.send(release(device.mac, nextID(index), device.address, device.server));
        } else {
            ++result_.failed;
        }
        beginExchange(index);
    }

    void retryOverdue() {
        auto now = Clock::now();
        for (int index = 0; index < static_cast<int>(devices_.size()); ++index) {
            auto& device = devices_[index];
            if (device.step == Step::idle || now < device.deadline) continue;
            if (device.attempts > options_.retries) {
                // A failed exchange's latency is not counted; it stays in the failure count.
                finishExchange(index, false);
                continue;
            }
            ++device.attempts;
            device.deadline = now + std::chrono::milliseconds(options_.stepTimeoutMs);
            client_.send(device.lastSent);
        }
    }

    LoadOptions options_;
    LoopbackClient client_;
    std::vector<Device> devices_;
    LoadResult result_;
    int started_ = 0;
    std::unordered_set<std::uint32_t> addresses_;
};

}  // namespace

double LoadResult::percentileMs(double fraction) const {
    if (latenciesMs.empty()) return 0;
    auto sorted = latenciesMs;
    std::sort(sorted.begin(), sorted.end());
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

std::string LoadResult::summary() const {
    char text[256];
    std::snprintf(text, sizeof text,
                  "%d exchanges in %.2f s: %.0f exchanges/s, latency p50 %.3f ms, p99 %.3f ms; "
                  "%d failed, %d NAK, %d addresses",
                  completed, seconds, exchangesPerSecond(), percentileMs(0.5), percentileMs(0.99), failed, naks,
                  distinctAddresses);
    return text;
}

LoadResult runLoad(const LoadOptions& options, const ProgressReport& progress) { return Run(options).run(progress); }

}  // namespace anvil::load
