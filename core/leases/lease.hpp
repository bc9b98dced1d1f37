#pragma once
// What the server knows about one client, keyed by its hardware address.
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"

namespace anvil {

struct Lease {
    enum class State { offered, bound, released, reclaimed };

    MACAddress mac;
    IPv4Address ip;
    State state = State::offered;
    Date expiresAt;
    std::optional<std::string> hostname;
    std::optional<std::string> vendorClass;
    std::optional<std::string> clientID;
    Date firstSeen;
    Date lastSeen;
    // Given to a plain BOOTP request: no renewals, each new request refreshes it.
    bool bootp = false;

    const MACAddress& id() const { return mac; }

    // Only an offer or a binding in force keeps the address from others.
    bool holdsAddress(Date now) const { return (state == State::offered || state == State::bound) && now < expiresAt; }
    bool isExpired(Date now) const { return now >= expiresAt; }

    friend bool operator==(const Lease&, const Lease&) = default;
};

std::string_view rawValue(Lease::State state);
// The state as lists and log lines show it: "bound", or "bound (BOOTP)" for a BOOTP client's lease.
std::string stateText(const Lease& lease);
std::optional<Lease::State> leaseStateFromRaw(std::string_view text);

}  // namespace anvil
