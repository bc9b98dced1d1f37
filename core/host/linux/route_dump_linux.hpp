#pragma once
// The routes of this network namespace from the kernel. Header-only: dhcpanvil-helper links
// nothing of ours.
#include <linux/rtnetlink.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "core/host/linux/netlink_dump.hpp"
#include "core/host/route_dump.hpp"

namespace anvil::RouteDump {

// Every route of every table, IPv4 and IPv6, of this network namespace; nothing when the dump fails.
inline std::optional<std::vector<Route>> readAll() {
    // An unspecified family and table ask for the routes of every family and every table; the
    // parser keeps IPv4 and IPv6. A dump a change interrupted is taken again, a few times.
    rtmsg request{};
    request.rtm_family = AF_UNSPEC;
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto dump = netlink::boundedDump(RTM_GETROUTE, {reinterpret_cast<const std::uint8_t*>(&request), sizeof request});
        if (dump) return parse(*dump);
    }
    return std::nullopt;
}

}  // namespace anvil::RouteDump
