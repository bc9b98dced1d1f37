#pragma once
// Calls back whenever the host's cards, links, IPv4 addresses or routes change.
#include <functional>
#include <memory>
#include <string_view>

namespace anvil {

class InterfaceMonitor {
public:
    static constexpr std::string_view queueLabel = "dhcpanvil.interfaces";

    // `onChange` runs on the monitor's own serial queue, one call at a time.
    explicit InterfaceMonitor(std::function<void()> onChange);
    ~InterfaceMonitor();
    InterfaceMonitor(const InterfaceMonitor&) = delete;
    InterfaceMonitor& operator=(const InterfaceMonitor&) = delete;

    // Starts watching, replacing a watch already running; stays idle when the kernel cannot be asked.
    void start();
    void stop();
    bool isWatching() const { return watch_ != nullptr; }

    struct Watch;

private:
    std::function<void()> onChange_;
    std::shared_ptr<Watch> watch_;
};

}  // namespace anvil
