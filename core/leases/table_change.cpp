#include "core/leases/table_change.hpp"

#include <unordered_set>

namespace anvil {

void apply(LeaseTable& table, const TableChange& change) {
    switch (change.kind) {
        case TableChange::Kind::putLease: table.upsert(change.lease); break;
        case TableChange::Kind::removeLease: table.remove(change.lease.mac); break;
        case TableChange::Kind::putQuarantine:
            table.addQuarantine(change.quarantine.ip, change.quarantine.until, change.quarantine.reportedBy);
            break;
        case TableChange::Kind::removeQuarantine: {
            auto entries = table.quarantine();
            std::erase_if(entries, [&](const Quarantine& entry) { return entry.ip == change.quarantine.ip; });
            table = LeaseTable(table.leases(), std::move(entries));
            break;
        }
    }
}

namespace {

// Leases: a put replaces in place or appends. After the removals, the longest run of leases
// that kept their places is updated in place; everything after it is removed and put again in
// its new order (usually nothing but the appended leases).
void leaseChanges(const std::vector<Lease>& before, const std::vector<Lease>& after, std::vector<TableChange>& out) {
    std::size_t same = 0;
    for (; same < before.size() && same < after.size() && before[same].mac == after[same].mac; ++same)
        if (!(before[same] == after[same])) out.push_back(TableChange::put(after[same]));
    if (same == before.size()) {
        for (std::size_t index = same; index < after.size(); ++index) out.push_back(TableChange::put(after[index]));
        return;
    }
    std::unordered_set<MACAddress> present;
    for (std::size_t index = same; index < after.size(); ++index) present.insert(after[index].mac);
    std::vector<const Lease*> kept;
    for (std::size_t index = same; index < before.size(); ++index) {
        if (present.count(before[index].mac))
            kept.push_back(&before[index]);
        else
            out.push_back(TableChange::removeLease(before[index].mac));
    }
    std::size_t next = same, keptIndex = 0;
    for (; keptIndex < kept.size() && next < after.size() && kept[keptIndex]->mac == after[next].mac;
         ++keptIndex, ++next)
        if (!(*kept[keptIndex] == after[next])) out.push_back(TableChange::put(after[next]));
    for (std::size_t index = keptIndex; index < kept.size(); ++index)
        out.push_back(TableChange::removeLease(kept[index]->mac));
    for (std::size_t index = next; index < after.size(); ++index) out.push_back(TableChange::put(after[index]));
}

// Quarantine: a put always moves the entry to the end, so only an unchanged prefix stays.
void quarantineChanges(const std::vector<Quarantine>& before, const std::vector<Quarantine>& after,
                       std::vector<TableChange>& out) {
    std::unordered_set<IPv4Address> present;
    for (const auto& entry : after) present.insert(entry.ip);
    std::vector<const Quarantine*> kept;
    for (const auto& entry : before) {
        if (present.count(entry.ip))
            kept.push_back(&entry);
        else
            out.push_back(TableChange::removeQuarantine(entry.ip));
    }
    std::size_t same = 0;
    while (same < kept.size() && same < after.size() && *kept[same] == after[same]) ++same;
    for (std::size_t index = same; index < after.size(); ++index) out.push_back(TableChange::put(after[index]));
}

}  // namespace

std::vector<TableChange> changesBetween(const LeaseTable& before, const LeaseTable& after) {
    std::vector<TableChange> changes;
    leaseChanges(before.leases(), after.leases(), changes);
    if (!(before.quarantine() == after.quarantine()))
        quarantineChanges(before.quarantine(), after.quarantine(), changes);
    return changes;
}

}  // namespace anvil
