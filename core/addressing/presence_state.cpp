#include "core/addressing/presence_state.hpp"

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

}  // namespace anvil
