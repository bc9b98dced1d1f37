#pragma once
// The outcome of one message: the action, the lease table after it, whether to save, and what to report.
#include <vector>

#include "core/events/server_event.hpp"
#include "core/leases/lease_table.hpp"
#include "core/dhcp_service/decision_action.hpp"

namespace anvil {

struct Decision {
    DecisionAction action;
    LeaseTable table;
    // True when the change must reach the lease file; a pending offer alone does not.
    bool tableChanged = false;
    // The events of this decision, in the order they happened.
    std::vector<ServerEvent> notes;

    friend bool operator==(const Decision&, const Decision&) = default;
};

}  // namespace anvil
