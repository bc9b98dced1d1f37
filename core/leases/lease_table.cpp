#include "core/leases/lease_table.hpp"

#include <algorithm>
#include <cstddef>
#include <utility>

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
    for (std::size_t position = 0; position < leases_.size(); ++position) indexLease(position);
    // The last entry for an address wins and takes that entry's place in the order.
    std::unordered_map<IPv4Address, std::size_t> last;
    for (std::size_t position = 0; position < quarantine.size(); ++position) last[quarantine[position].ip] = position;
    for (std::size_t position = 0; position < quarantine.size(); ++position) {
        if (last[quarantine[position].ip] != position) continue;
        quarantineByAddress_[quarantine[position].ip] = quarantine_.size();
        quarantine_.push_back(std::move(quarantine[position]));
    }
}

std::optional<Lease> LeaseTable::lease(const MACAddress& mac) const {
    auto found = byMAC_.find(mac);
    if (found == byMAC_.end()) return std::nullopt;
    return leases_[found->second];
}

std::optional<Lease> LeaseTable::holder(IPv4Address ip, Date now) const {
    auto found = byAddress_.find(ip);
    if (found == byAddress_.end()) return std::nullopt;
    for (auto position : found->second)
        if (leases_[position].holdsAddress(now)) return leases_[position];
    return std::nullopt;
}

std::optional<Lease> LeaseTable::leaseWithClientID(const std::string& clientID) const {
    auto found = byClientID_.find(clientID);
    if (found == byClientID_.end()) return std::nullopt;
    return leases_[found->second.front()];
}

bool LeaseTable::isQuarantined(IPv4Address ip, Date now) const {
    auto found = quarantineByAddress_.find(ip);
    return found != quarantineByAddress_.end() && quarantine_[found->second].isInForce(now);
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
    auto found = byMAC_.find(lease.mac);
    if (found == byMAC_.end()) {
        leases_.push_back(lease);
        indexLease(leases_.size() - 1);
        return;
    }
    std::size_t position = found->second;
    unindexLease(position);
    leases_[position] = lease;
    indexLease(position);
}

std::optional<Lease> LeaseTable::remove(const MACAddress& mac) {
    auto found = byMAC_.find(mac);
    if (found == byMAC_.end()) return std::nullopt;
    std::size_t target = found->second;
    changes_.push_back(TableChange::removeLease(mac));
    Lease removed = leases_[target];
    std::size_t position = 0;
    dropLeases([&](const Lease&) { return position++ == target; });
    return removed;
}

void LeaseTable::addQuarantine(IPv4Address ip, Date until, const MACAddress& reportedBy) {
    dropQuarantine([&](const Quarantine& entry) { return entry.ip == ip; });
    quarantineByAddress_[ip] = quarantine_.size();
    quarantine_.push_back(Quarantine{ip, until, reportedBy});
    changes_.push_back(TableChange::put(quarantine_.back()));
}

void LeaseTable::removeQuarantine(IPv4Address ip) {
    if (!quarantineByAddress_.contains(ip)) return;
    dropQuarantine([&](const Quarantine& entry) { return entry.ip == ip; });
    changes_.push_back(TableChange::removeQuarantine(ip));
}

void LeaseTable::pruneQuarantine(Date now) {
    dropQuarantine([&](const Quarantine& entry) {
        if (entry.isInForce(now)) return false;
        changes_.push_back(TableChange::removeQuarantine(entry.ip));
        return true;
    });
}

std::vector<Lease> LeaseTable::dropExpiredOffers(Date now) {
    std::vector<Lease> dropped;
    dropLeases([&](const Lease& lease) {
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
    int cleared = 0;
    dropLeases([&](const Lease& lease) {
        if (lease.holdsAddress(now)) return false;
        changes_.push_back(TableChange::removeLease(lease.mac));
        ++cleared;
        return true;
    });
    return cleared;
}

std::vector<Lease> LeaseTable::dropOutside(AddressRange range) {
    std::vector<Lease> dropped;
    dropLeases([&](const Lease& lease) {
        if (range.contains(lease.ip)) return false;
        dropped.push_back(lease);
        return true;
    });
    for (const auto& lease : dropped) changes_.push_back(TableChange::removeLease(lease.mac));
    dropQuarantine([&](const Quarantine& entry) {
        if (range.contains(entry.ip)) return false;
        changes_.push_back(TableChange::removeQuarantine(entry.ip));
        return true;
    });
    return dropped;
}

namespace {

template <typename Key>
void insertPosition(std::unordered_map<Key, std::vector<std::size_t>>& index, const Key& key, std::size_t position) {
    auto& positions = index[key];
    positions.insert(std::lower_bound(positions.begin(), positions.end(), position), position);
}

template <typename Key>
void erasePosition(std::unordered_map<Key, std::vector<std::size_t>>& index, const Key& key, std::size_t position) {
    auto found = index.find(key);
    if (found == index.end()) return;
    auto& positions = found->second;
    auto at = std::lower_bound(positions.begin(), positions.end(), position);
    if (at != positions.end() && *at == position) positions.erase(at);
    if (positions.empty()) index.erase(found);
}

// Every position below `from` already moved down and every one above it has yet to, so the
// list stays sorted and the entry can be found by halving.
template <typename Key>
void renumberPosition(std::unordered_map<Key, std::vector<std::size_t>>& index, const Key& key, std::size_t from,
                      std::size_t to) {
    auto found = index.find(key);
    if (found == index.end()) return;
    auto& positions = found->second;
    auto at = std::lower_bound(positions.begin(), positions.end(), from);
    if (at != positions.end() && *at == from) *at = to;
}

bool canHoldAddress(const Lease& lease) {
    return lease.state == Lease::State::offered || lease.state == Lease::State::bound;
}

}  // namespace

void LeaseTable::indexLease(std::size_t position) {
    const auto& lease = leases_[position];
    byMAC_.try_emplace(lease.mac, position);
    if (canHoldAddress(lease)) insertPosition(byAddress_, lease.ip, position);
    if (lease.clientID) insertPosition(byClientID_, *lease.clientID, position);
}

void LeaseTable::unindexLease(std::size_t position) {
    const auto& lease = leases_[position];
    if (auto found = byMAC_.find(lease.mac); found != byMAC_.end() && found->second == position) byMAC_.erase(found);
    if (canHoldAddress(lease)) erasePosition(byAddress_, lease.ip, position);
    if (lease.clientID) erasePosition(byClientID_, *lease.clientID, position);
}

void LeaseTable::moveLeaseIndex(std::size_t from, std::size_t to) {
    const auto& lease = leases_[to];
    // A later lease of the same hardware address takes over when the first one was dropped.
    auto [found, added] = byMAC_.try_emplace(lease.mac, to);
    if (!added && found->second == from) found->second = to;
    if (canHoldAddress(lease)) renumberPosition(byAddress_, lease.ip, from, to);
    if (lease.clientID) renumberPosition(byClientID_, *lease.clientID, from, to);
}

template <typename Drop>
void LeaseTable::dropLeases(Drop drop) {
    std::size_t kept = 0;
    for (std::size_t position = 0; position < leases_.size(); ++position) {
        if (drop(std::as_const(leases_[position]))) {
            unindexLease(position);
            continue;
        }
        if (kept != position) {
            leases_[kept] = std::move(leases_[position]);
            moveLeaseIndex(position, kept);
        }
        ++kept;
    }
    leases_.erase(leases_.begin() + static_cast<std::ptrdiff_t>(kept), leases_.end());
}

template <typename Drop>
void LeaseTable::dropQuarantine(Drop drop) {
    std::size_t kept = 0;
    for (std::size_t position = 0; position < quarantine_.size(); ++position) {
        if (drop(std::as_const(quarantine_[position]))) {
            quarantineByAddress_.erase(quarantine_[position].ip);
            continue;
        }
        if (kept != position) {
            quarantine_[kept] = std::move(quarantine_[position]);
            quarantineByAddress_[quarantine_[kept].ip] = kept;
        }
        ++kept;
    }
    quarantine_.erase(quarantine_.begin() + static_cast<std::ptrdiff_t>(kept), quarantine_.end());
}

}  // namespace anvil
