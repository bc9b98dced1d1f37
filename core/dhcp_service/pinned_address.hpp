#pragma once
// Which pin is a device's, and which addresses are kept from everyone else.
#include <optional>
#include <span>

#include "core/addressing/bytes.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/addressing/pin.hpp"

namespace anvil {

// A pin by client identifier matches option 61 alone; a pin by hardware address matches chaddr
// whatever option 61 holds, so a client that sends a DUID is still found. Nothing when unpinned.
const Pin* pinOf(std::span<const Pin> pins, const MACAddress& mac, const std::optional<Bytes>& clientID);

// Pinned to some device other than the one whose pin is `own` (null when it has none).
bool pinnedToOther(std::span<const Pin> pins, IPv4Address ip, const Pin* own);

}  // namespace anvil
