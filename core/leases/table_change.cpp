#include "core/leases/table_change.hpp"

#include "core/leases/lease_table.hpp"

namespace anvil {

void apply(LeaseTable& table, const TableChange& change) {
    switch (change.kind) {
        case TableChange::Kind::putLease: table.upsert(change.lease); break;
        case TableChange::Kind::removeLease: table.remove(change.lease.mac); break;
        case TableChange::Kind::putQuarantine:
            table.addQuarantine(change.quarantine.ip, change.quarantine.until, change.quarantine.reportedBy);
            break;
        case TableChange::Kind::removeQuarantine: table.removeQuarantine(change.quarantine.ip); break;
    }
}

}  // namespace anvil
