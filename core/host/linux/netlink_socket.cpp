#if defined(__linux__)
#include "core/host/linux/netlink_socket.hpp"

#include "core/host/linux/netlink_dump.hpp"

namespace anvil {

std::optional<Bytes> netlink::dump(std::uint16_t type, std::span<const std::uint8_t> request, int protocol) {
    return boundedDump(type, request, protocol);
}

}  // namespace anvil
#endif
