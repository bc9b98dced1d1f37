#include "core/dhcp_service/pinned_address.hpp"

#include <algorithm>

namespace anvil {

const Pin* pinOf(std::span<const Pin> pins, const MACAddress& mac, const std::optional<Bytes>& clientID) {
    // A client identifier the user pinned says more than the hardware address it came from.
    if (clientID) {
        auto byID = std::ranges::find_if(pins, [&](const Pin& pin) { return pin.clientID == clientID; });
        if (byID != pins.end()) return &*byID;
    }
    auto byMAC = std::ranges::find_if(pins, [&](const Pin& pin) { return !pin.clientID && pin.mac == mac; });
    return byMAC != pins.end() ? &*byMAC : nullptr;
}

bool pinnedToOther(std::span<const Pin> pins, IPv4Address ip, const Pin* own) {
    return std::ranges::any_of(pins, [&](const Pin& pin) { return pin.ip == ip && &pin != own; });
}

}  // namespace anvil
