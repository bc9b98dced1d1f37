#include "core/host/presence.hpp"

namespace anvil {

PresenceState PresenceClassifier::classify(const std::optional<ProbeResult>& probe,
                                           const std::optional<MACAddress>& arpMAC, const MACAddress& leaseMAC,
                                           bool linkUp) {
    if (!linkUp) return PresenceState::offline;
    if (!probe) return PresenceState::unknown;
    if (!probe->answered) return PresenceState::offline;
    if (!arpMAC) return PresenceState::online;
    return *arpMAC == leaseMAC ? PresenceState::online : PresenceState::conflict;
}

}  // namespace anvil
