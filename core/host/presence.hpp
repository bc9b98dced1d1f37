#pragma once
// How a probe's answer and the neighbour table's entry make a device's presence.
#include <optional>

#include "core/addressing/mac_address.hpp"
#include "core/addressing/presence_state.hpp"

namespace anvil {

namespace PresenceClassifier {

PresenceState classify(const std::optional<ProbeResult>& probe, const std::optional<MACAddress>& arpMAC,
                       const MACAddress& leaseMAC, bool linkUp);

}  // namespace PresenceClassifier

}  // namespace anvil
