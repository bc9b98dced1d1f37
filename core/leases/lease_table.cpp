#include "core/leases/lease_table.hpp"

#include <algorithm>

namespace anvil {

namespace {

// Hex pairs of fixed width compare like the bytes they spell, so the text need not be built.
bool macTextLess(const MACAddress& left, const MACAddress& right) { return left.bytes < right.bytes; }

bool addressThenMACLess(const Lease& left, const Lease& right) {
    if (left.ip != right.ip) return left.ip < right.ip;
    return macTextLess(left.mac, right.mac);
}

int displayRank(std::optional<PresenceState> presence) {
    if (!presence) return 4;
    switch (*presence) {
        case PresenceState::online: return 0;
        case PresenceState::conflict: return 1;
        case PresenceState::unknown: return 2;
        case PresenceState::offline: return 3;
    }
    return 4;
}

}  // namespace

bool LeaseTable::displaysBefore(const Lease& left, std::optional<PresenceState> leftPresence, const Lease& right,
                                std::optional<PresenceState> rightPresence) {
    int leftRank = displayRank(leftPresence), rightRank = displayRank(rightPresence);
    if (leftRank != rightRank) return leftRank < rightRank;
    return addressThenMACLess(left, right);
}

LeaseTable::LeaseTable(std::vector<Lease> leases, std::vector<Quarantine> quarantine) : leases_(std::move(leases)) {
    for (auto& entry : quarantine) {
        std::erase_if(quarantine_, [&](const Quarantine& kept) { return kept.ip == entry.ip; });
        quarantine_.push_back(std::move(entry));
    }
}

std::optional<Lease> LeaseTable::lease(const MACAddress& mac) const {
    for (const auto& lease : leases_)
        if (lease.mac == mac) return lease;
    return std::nullopt;
}

std::optional<Lease> LeaseTable::holder(IPv4Address ip, Date now) const {
    for (const auto& lease : leases_)
        if (lease.ip == ip && lease.holdsAddress(now)) return lease;
    return std::nullopt;
}

bool LeaseTable::isQuarantined(IPv4Address ip, Date now) const {
    return std::any_of(quarantine_.begin(), quarantine_.end(),
                       [&](const Quarantine& entry) { return entry.ip == ip && entry.isInForce(now); });
}

std::vector<Lease> LeaseTable::sortedByIP() const {
    auto sorted = leases_;
    std::stable_sort(sorted.begin(), sorted.end(), addressThenMACLess);
    return sorted;
}

std::vector<Lease> LeaseTable::sortedForDisplay(const PresenceLookup& presence) const {
    // Ask for each lease's presence once; the lookup may be costly and need not be consistent.
    std::vector<std::pair<std::optional<PresenceState>, const Lease*>> ranked;
    ranked.reserve(leases_.size());
    for (const auto& lease : leases_) ranked.emplace_back(presence ? presence(lease) : std::nullopt, &lease);
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& left, const auto& right) {
        return displaysBefore(*left.second, left.first, *right.second, right.first);
    });
    std::vector<Lease> sorted;
    sorted.reserve(ranked.size());
    for (const auto& entry : ranked) sorted.push_back(*entry.second);
    return sorted;
}

void LeaseTable::upsert(const Lease& lease) {
    changes_.push_back(TableChange::put(lease));
    for (auto& existing : leases_) {
        if (existing.mac == lease.mac) {
            existing = lease;
            return;
        }
    }
    leases_.push_back(lease);
}

std::optional<Lease> LeaseTable::remove(const MACAddress& mac) {
    auto found = std::find_if(leases_.begin(), leases_.end(), [&](const Lease& lease) { return lease.mac == mac; });
    if (found == leases_.end()) return std::nullopt;
    changes_.push_back(TableChange::removeLease(mac));
    Lease removed = std::move(*found);
    leases_.erase(found);
    return removed;
}

void LeaseTable::addQuarantine(IPv4Address ip, Date until, const MACAddress& reportedBy) {
    std::erase_if(quarantine_, [&](const Quarantine& entry) { return entry.ip == ip; });
    quarantine_.push_back(Quarantine{ip, until, reportedBy});
    changes_.push_back(TableChange::put(quarantine_.back()));
}

void LeaseTable::removeQuarantine(IPv4Address ip) {
    if (std::erase_if(quarantine_, [&](const Quarantine& entry) { return entry.ip == ip; }))
        changes_.push_back(TableChange::removeQuarantine(ip));
}

void LeaseTable::pruneQuarantine(Date now) {
    std::erase_if(quarantine_, [&](const Quarantine& entry) {
        if (entry.isInForce(now)) return false;
        changes_.push_back(TableChange::removeQuarantine(entry.ip));
        return true;
    });
}

std::vector<Lease> LeaseTable::dropExpiredOffers(Date now) {
    std::vector<Lease> dropped;
    std::erase_if(leases_, [&](const Lease& lease) {
        if (lease.state != Lease::State::offered || !lease.isExpired(now)) return false;
        changes_.push_back(TableChange::removeLease(lease.mac));
        dropped.push_back(lease);
        return true;
    });
    return dropped;
}

std::optional<Lease> LeaseTable::makeRoomForNewClient(Date now) {
    std::size_t inactive = 0;
    const Lease* oldest = nullptr;
    for (const auto& lease : leases_) {
        if (lease.holdsAddress(now)) continue;
        ++inactive;
        if (!oldest || lease.lastSeen < oldest->lastSeen) oldest = &lease;
    }
    if (inactive < inactiveLimit) return std::nullopt;
    return remove(oldest->mac);
}

int LeaseTable::clearInactive(Date now) {
    return static_cast<int>(std::erase_if(leases_, [&](const Lease& lease) {
        if (lease.holdsAddress(now)) return false;
        changes_.push_back(TableChange::removeLease(lease.mac));
        return true;
    }));
}

std::vector<Lease> LeaseTable::dropOutside(AddressRange range) {
    std::vector<Lease> dropped;
    std::vector<Lease> kept;
    for (auto& lease : leases_) (range.contains(lease.ip) ? kept : dropped).push_back(std::move(lease));
    leases_ = std::move(kept);
    for (const auto& lease : dropped) changes_.push_back(TableChange::removeLease(lease.mac));
    std::erase_if(quarantine_, [&](const Quarantine& entry) {
        if (range.contains(entry.ip)) return false;
        changes_.push_back(TableChange::removeQuarantine(entry.ip));
        return true;
    });
    return dropped;
}

}  // namespace anvil
