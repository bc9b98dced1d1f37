#pragma once
// Everything the responder judges a message against: the table, presence, this message's probes, the time.
#include <unordered_map>
#include <unordered_set>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/presence_state.hpp"
#include "core/addressing/timing.hpp"
#include "core/leases/lease_table.hpp"
#include "core/dhcp_service/presence_view.hpp"

namespace anvil {

struct DecisionContext {
    LeaseTable table;
    // The last judged presence of lease holders, read where the caller keeps it.
    PresenceView presence;
    // Probes made for this very message: true when something answered at the address.
    std::unordered_map<IPv4Address, bool> probes;
    Date now;
    // Addresses probed now before a reclaim for other messages: not offered to this one meanwhile.
    std::unordered_set<IPv4Address> probing = {};

    bool probeBudgetExhausted() const { return probes.size() >= static_cast<std::size_t>(Timing::maxProbesPerPacket); }

    friend bool operator==(const DecisionContext&, const DecisionContext&) = default;
};

}  // namespace anvil
