#include "core/host/presence.hpp"

namespace anvil {

std::string_view rawValue(PresenceState state) {
    switch (state) {
        case PresenceState::unknown: return "unknown";
        case PresenceState::online: return "online";
        case PresenceState::offline: return "offline";
        case PresenceState::conflict: return "conflict";
    }
    return "unknown";
}

std::optional<PresenceState> presenceStateFromRaw(std::string_view text) {
    for (auto state : {PresenceState::unknown, PresenceState::online, PresenceState::offline, PresenceState::conflict})
        if (rawValue(state) == text) return state;
    return std::nullopt;
}

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
