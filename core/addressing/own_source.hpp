#pragma once
// Whether a datagram that came in on a card was sent by this computer rather than a device: a
// local program reaches a card's ports from one of this computer's addresses or from loopback,
// which no device on a cable sends from.
#include <optional>
#include <string>
#include <unordered_set>

#include "core/addressing/ipv4_address.hpp"

namespace anvil {

// The reason to drop the datagram, or nothing when a device may have sent it.
inline std::optional<std::string> ownSourceRefusal(IPv4Address source,
                                                   const std::unordered_set<IPv4Address>& ownAddresses) {
    if ((source.value >> 24) == 127) return "sent from " + source.description() + ", a loopback address";
    if (ownAddresses.contains(source)) return "sent from " + source.description() + ", an address of this computer";
    return std::nullopt;
}

}  // namespace anvil
