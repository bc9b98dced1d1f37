#pragma once
// The kernel's table of which hardware address answers for which IPv4 address.
#include <cstdint>
#include <span>
#include <unordered_map>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"

namespace anvil {

using ARPEntries = std::unordered_map<IPv4Address, MACAddress>;

namespace ARPTable {

// The current table; empty when the kernel cannot be asked.
ARPEntries read();
// A BSD routing-table dump (sysctl NET_RT_FLAGS with RTF_LLINFO), message by message.
ARPEntries parse(std::span<const std::uint8_t> routingDump);
// An rtnetlink neighbour dump (RTM_NEWNEIGH messages, host byte order); unusable entries are skipped.
ARPEntries parseNeighbours(std::span<const std::uint8_t> netlinkDump);

}  // namespace ARPTable

}  // namespace anvil
