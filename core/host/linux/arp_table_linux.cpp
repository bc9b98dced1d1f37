#if defined(__linux__)
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include "core/host/arp_table.hpp"
#include "core/host/linux/netlink_socket.hpp"

namespace anvil {

ARPEntries ARPTable::read() {
    ndmsg request{};
    request.ndm_family = AF_INET;
    auto dump = netlink::dump(RTM_GETNEIGH, {reinterpret_cast<const std::uint8_t*>(&request), sizeof request});
    if (!dump) return {};
    return parseNeighbours(*dump);
}

}  // namespace anvil
#endif
