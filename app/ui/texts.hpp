#pragma once
// Small text helpers shared by the screens.
#include <QString>
#include <optional>
#include <string_view>

#include "core/leases/lease.hpp"
#include "core/addressing/presence_state.hpp"

namespace anvil {

inline QString q(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// The word for a lease's presence; "Idle" when nothing probes it.
inline QString presenceLabel(std::optional<PresenceState> presence) {
    if (!presence) return "Idle";
    switch (*presence) {
        case PresenceState::online: return "Online";
        case PresenceState::unknown: return "Checking";
        case PresenceState::offline: return "Offline";
        case PresenceState::conflict: return "Conflict";
    }
    return "Idle";
}

}  // namespace anvil
