#pragma once
// An address kept out of use for a while because a client declined it as taken.
#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"

namespace anvil {

struct Quarantine {
    IPv4Address ip;
    Date until;
    MACAddress reportedBy;

    bool isInForce(Date now) const { return until > now; }

    friend bool operator==(const Quarantine&, const Quarantine&) = default;
};

}  // namespace anvil
