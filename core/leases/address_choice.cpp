#include "core/leases/address_choice.hpp"

#include <cstdint>
#include <tuple>
#include <vector>

namespace anvil {

namespace {

bool isFreeFor(IPv4Address ip, const MACAddress& client, const LeaseTable& table, Date now) {
    const Lease* holder = table.holderAt(ip, now);
    return holder == nullptr || holder->mac == client;
}

std::optional<IPv4Address> reclaimableAddress(const MACAddress& client, const LeaseTable& table,
                                              const AddressJudgement& isUsable, const AddressJudgement& holderIsOffline,
                                              Date now) {
    // Strictly older, or as old at a lower address; a full tie keeps the earlier lease.
    struct Candidate {
        Date lastSeen;
        IPv4Address ip;
        std::size_t order;
        bool operator<(const Candidate& other) const {
            return std::tie(lastSeen, ip, order) < std::tie(other.lastSeen, other.ip, other.order);
        }
    };
    std::optional<Candidate> oldest;
    table.forEachAddressLease([&](const Lease& lease, std::size_t order) {
        if (lease.mac == client || !lease.holdsAddress(now)) return;
        Candidate candidate{lease.lastSeen, lease.ip, order};
        // Ask the judgements only of leases that could win, and in any order: they are pure.
        if (oldest && !(candidate < *oldest)) return;
        if (!isUsable(lease.ip) || !holderIsOffline(lease.ip)) return;
        oldest = candidate;
    });
    if (!oldest) return std::nullopt;
    return oldest->ip;
}

}  // namespace

std::optional<IPv4Address> chooseAddress(const MACAddress& client, std::optional<IPv4Address> requested,
                                         const LeaseTable& table, AddressRange range, const AddressJudgement& isUsable,
                                         const AddressJudgement& holderIsOffline, Date now) {
    if (auto previous = table.lease(client);
        previous && isUsable(previous->ip) && isFreeFor(previous->ip, client, table, now))
        return previous->ip;
    if (requested && isUsable(*requested) && isFreeFor(*requested, client, table, now)) return requested;
    // An address whose holder (the first holding lease in table order) is another client is skipped.
    if (auto free = table.firstFreeAddress(client, range, now, isUsable)) return free;
    return reclaimableAddress(client, table, isUsable, holderIsOffline, now);
}

bool isAvailable(IPv4Address ip, const MACAddress& client, const LeaseTable& table, const AddressJudgement& isUsable,
                 Date now) {
    return isUsable(ip) && isFreeFor(ip, client, table, now);
}

}  // namespace anvil
