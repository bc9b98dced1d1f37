#pragma once
// What the server runtime asks of the host, as replaceable functions so tests can stand in.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/subnet.hpp"
#include "core/host/arp_table.hpp"
#include "core/host/async_prober.hpp"
#include "core/host/frame_watch.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/route_dump.hpp"
#include "core/host/tftp_sockets.hpp"
#include "core/addressing/presence_state.hpp"

namespace anvil {

struct ServerHost {
    std::function<Date()> clock;
    std::function<Interfaces::MediaStatus(const std::string& name)> mediaStatus;
    std::function<std::vector<InterfaceAddress>()> interfaceAddresses;
    // Every route of every table; none when null.
    std::function<std::vector<RouteDump::Route>()> routes;
    std::function<std::optional<std::string>(const MACAddress&)> bsdName;
    // 0 when there is no interface of that name.
    std::function<std::uint32_t(const std::string& name)> interfaceIndex;
    // The system's name for an index, or "interface " and the number.
    std::function<std::string(std::uint32_t index)> interfaceNameForIndex;
    // The prober that runs on the server's loop; made once, when presence probing is on.
    std::function<std::unique_ptr<AsyncProber>(asio::io_context& loop)> makeProber;
    // Whether probes on the card can send ICMP echoes; unset means they can.
    std::function<bool(const std::string& interfaceName)> icmpProbes;
    std::function<ARPEntries()> readARPTable;
    std::function<void(const std::string& interfaceName, IPv4Address nearby)> triggerLocalNetworkAlert;

    // Opens port 69 on a card for TFTP (through the helper when needed); openTFTPListener when null.
    std::function<std::variant<TFTPListener, SocketFailure>(const std::string& interfaceName)> openTFTPListener;
    // Opens the watch of a card's cable; when null the cable is not watched.
    std::function<std::variant<FrameWatch, PrivilegeHelper::Failure>(const std::string& interfaceName)> openFrameWatch;
    // The real system: wall clock, the kernel's interfaces, real probes.
    static ServerHost system();
};

// Intervals of the runtime's timers, in seconds; tests shorten them.
struct ServerTimers {
    double watchInterval = 1;
    double presenceFirstRun = 1;
    double presenceInterval = 10;
    double sendRetryDelay = 1;
    // How often offers that ran out are removed from the table.
    double offerExpiryInterval = 1;
};

}  // namespace anvil
