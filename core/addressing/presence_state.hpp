#pragma once
// Whether the device holding an address is there, and what a probe of it found: plain values
// that the lease table, the events and the runtime all carry.
#include <optional>
#include <string>
#include <string_view>

namespace anvil {

enum class PresenceState { unknown, online, offline, conflict };

std::string_view rawValue(PresenceState state);
std::optional<PresenceState> presenceStateFromRaw(std::string_view text);

struct ProbeResult {
    bool answered = false;
    std::string detail;

    static ProbeResult silent() { return {false, "no answer"}; }

    friend bool operator==(const ProbeResult&, const ProbeResult&) = default;
};

}  // namespace anvil
