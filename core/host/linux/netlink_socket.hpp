#pragma once
// Asking the kernel for an rtnetlink table dump.
#include <cstdint>
#include <optional>
#include <span>

#include "core/addressing/bytes.hpp"

namespace anvil::netlink {

// The concatenated replies to a dump request of `type` with the family header `request`; nothing on
// failure, or when the dump was interrupted or is larger than netlink::largestDump.
// `protocol` is NETLINK_ROUTE (0) unless given, such as NETLINK_SOCK_DIAG (4).
std::optional<Bytes> dump(std::uint16_t type, std::span<const std::uint8_t> request, int protocol = 0);

}  // namespace anvil::netlink
