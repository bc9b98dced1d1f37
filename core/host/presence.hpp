#pragma once
// Whether the device holding an address is there, and what a probe of it found.
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/mac_address.hpp"

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

namespace PresenceClassifier {

PresenceState classify(const std::optional<ProbeResult>& probe, const std::optional<MACAddress>& arpMAC,
                       const MACAddress& leaseMAC, bool linkUp);

}  // namespace PresenceClassifier

}  // namespace anvil
