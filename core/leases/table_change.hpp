#pragma once
// One change to a lease table, as the journal stores it: the full new state of one lease or
// quarantine entry, or its removal.
#include "core/leases/lease.hpp"
#include "core/leases/quarantine.hpp"

namespace anvil {

class LeaseTable;

struct TableChange {
    enum class Kind { putLease, removeLease, putQuarantine, removeQuarantine };

    Kind kind = Kind::putLease;
    Lease lease;            // putLease; removeLease uses only its hardware address
    Quarantine quarantine;  // putQuarantine; removeQuarantine uses only its address

    static TableChange put(const Lease& lease) { return {Kind::putLease, lease, {}}; }
    static TableChange removeLease(const MACAddress& mac) {
        TableChange change{Kind::removeLease, {}, {}};
        change.lease.mac = mac;
        return change;
    }
    static TableChange put(const Quarantine& entry) { return {Kind::putQuarantine, {}, entry}; }
    static TableChange removeQuarantine(IPv4Address ip) {
        TableChange change{Kind::removeQuarantine, {}, {}};
        change.quarantine.ip = ip;
        return change;
    }

    friend bool operator==(const TableChange&, const TableChange&) = default;
};

// Applies one change the way the table itself changes: a lease is replaced in place or
// appended, a quarantine entry moves to the end.
void apply(LeaseTable& table, const TableChange& change);

}  // namespace anvil
