#if defined(__linux__)
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>

#include "core/host/interface_monitor.hpp"
#include "core/host/netlink_bytes.hpp"

namespace anvil {

struct InterfaceMonitor::Watch {
    int netlinkSocket = -1;
    int wakeUp = -1;
    std::thread thread;

    ~Watch() {
        if (netlinkSocket >= 0) close(netlinkSocket);
        if (wakeUp >= 0) close(wakeUp);
    }

    // Whether a batch of notifications says anything changed; a lost batch counts as a change.
    bool drain() {
        std::uint8_t buffer[16384];
        bool changed = false;
        for (int reads = 0; reads < 1024; ++reads) {
            auto count = recv(netlinkSocket, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count < 0) {
                if (errno == EINTR) continue;
                if (errno == ENOBUFS) changed = true;  // the kernel dropped notifications
                break;
            }
            if (count == 0) break;
            for (const auto& message : netlink::messages({buffer, static_cast<std::size_t>(count)})) {
                switch (message.type) {
                    case RTM_NEWLINK:
                    case RTM_DELLINK:
                    case RTM_NEWADDR:
                    case RTM_DELADDR:
                    case RTM_NEWROUTE:
                    case RTM_DELROUTE: changed = true; break;
                    default: break;
                }
            }
        }
        return changed;
    }

    void run(const std::function<void()>& onChange) {
        std::string name(queueLabel.substr(0, 15));  // thread names hold 15 bytes
        pthread_setname_np(pthread_self(), name.c_str());
        while (true) {
            pollfd waits[2] = {{netlinkSocket, POLLIN, 0}, {wakeUp, POLLIN, 0}};
            int ready = poll(waits, 2, -1);
            if (ready < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (waits[1].revents) return;
            if (waits[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                // POLLERR is how a socket whose buffer overflowed says so; drain() sees ENOBUFS.
                if (!(waits[0].revents & POLLERR)) return;
            }
            if (drain() && onChange) onChange();
        }
    }
};

InterfaceMonitor::InterfaceMonitor(std::function<void()> onChange) : onChange_(std::move(onChange)) {}

InterfaceMonitor::~InterfaceMonitor() { stop(); }

void InterfaceMonitor::start() {
    // The running watch is replaced only once a fresh one could be made.
    auto watch = std::make_shared<Watch>();
    watch->netlinkSocket = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    watch->wakeUp = eventfd(0, EFD_CLOEXEC);
    if (watch->netlinkSocket < 0 || watch->wakeUp < 0) return;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE;
    if (bind(watch->netlinkSocket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return;
    stop();
    auto onChange = onChange_;
    // The thread holds the watch too, so a stop from inside onChange cannot pull it away.
    watch->thread = std::thread([watch, onChange] { watch->run(onChange); });
    watch_ = std::move(watch);
}

void InterfaceMonitor::stop() {
    if (!watch_) return;
    auto watch = std::move(watch_);
    watch_.reset();
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(watch->wakeUp, &one, sizeof one);
    if (watch->thread.get_id() == std::this_thread::get_id())
        watch->thread.detach();
    else if (watch->thread.joinable())
        watch->thread.join();
}

}  // namespace anvil
#endif
