#include "core/leases/lease_table.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <utility>

namespace anvil {

namespace {

// Spreads the standard hashes (the identity for integers) over the bits the index masks with.
std::size_t mixed(std::size_t hash) { return static_cast<std::size_t>((hash * 0x9E3779B97F4A7C15ULL) >> 32); }
std::size_t hashOf(const MACAddress& mac) { return mixed(std::hash<MACAddress>{}(mac)); }
std::size_t hashOf(IPv4Address ip) { return mixed(std::hash<IPv4Address>{}(ip)); }
std::size_t hashOf(const std::string& text) { return mixed(std::hash<std::string>{}(text)); }

// Hex pairs of fixed width compare like the bytes they spell, so the text need not be built.
bool macTextLess(const MACAddress& left, const MACAddress& right) { return left.bytes < right.bytes; }

bool addressThenMACLess(const Lease& left, const Lease& right) {
    if (left.ip != right.ip) return left.ip < right.ip;
    return macTextLess(left.mac, right.mac);
}

bool canHoldAddress(const Lease& lease) {
    return lease.state == Lease::State::offered || lease.state == Lease::State::bound;
}

// A date that is not a number has always run out, as holdsAddress judges it.
double expiryKey(Date date) {
    return std::isnan(date.secondsSince1970) ? -std::numeric_limits<double>::infinity() : date.secondsSince1970;
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

LeaseTable::LeaseTable(std::vector<Lease> leases, std::vector<Quarantine> quarantine)
    : leases_(std::move(leases)), removed_(leases_.size(), false), places_(leases_.size()) {
    for (auto& place : places_) place.order = nextOrder_++;
    reindexLeases();
    // The last entry for an address wins and takes that entry's place in the order.
    for (auto& entry : quarantine) {
        if (auto found = quarantineByAddress_.first(hashOf(entry.ip),
                                                    [&](std::size_t at) { return quarantine_[at].ip == entry.ip; })) {
            quarantine_.erase(quarantine_.begin() + static_cast<std::ptrdiff_t>(*found));
            reindexQuarantine();
        }
        quarantine_.push_back(std::move(entry));
        quarantineByAddress_.insert(hashOf(quarantine_.back().ip), quarantine_.size() - 1);
    }
}

const std::vector<Lease>& LeaseTable::leases() const {
    if (removedCount_ != 0) closeGaps();
    return leases_;
}

std::optional<Lease> LeaseTable::lease(const MACAddress& mac) const {
    auto found = byMAC_.first(hashOf(mac), [&](std::size_t at) { return leases_[at].mac == mac; });
    if (!found) return std::nullopt;
    return leases_[*found];
}

std::optional<Lease> LeaseTable::holder(IPv4Address ip, Date now) const {
    if (const Lease* found = holderAt(ip, now)) return *found;
    return std::nullopt;
}

const Lease* LeaseTable::holderAt(IPv4Address ip, Date now) const {
    auto found = byAddress_.first(
        hashOf(ip), [&](std::size_t at) { return leases_[at].ip == ip && leases_[at].holdsAddress(now); });
    return found ? &leases_[*found] : nullptr;
}

void LeaseTable::forEachAddressLease(const std::function<void(const Lease&, std::size_t order)>& visit) const {
    byAddress_.forEach([&](std::size_t position) { visit(leases_[position], position); });
}

std::optional<IPv4Address> LeaseTable::firstFreeAddress(const MACAddress& client, AddressRange range, Date now,
                                                        const std::function<bool(IPv4Address)>& accepts) const {
    std::vector<IPv4Address> own;
    byMAC_.forEachWith(hashOf(client), [&](std::size_t at) {
        if (leases_[at].mac == client && canHoldAddress(leases_[at])) own.push_back(leases_[at].ip);
    });
    auto otherHolderExpiry = [&](IPv4Address ip) -> std::optional<double> {
        const Lease* holder = holderAt(ip, now);
        if (!holder || holder->mac == client) return std::nullopt;
        return expiryKey(holder->expiresAt);
    };
    return addressBlocks_.firstFree(range, own, now, otherHolderExpiry, accepts);
}

std::optional<Lease> LeaseTable::leaseWithClientID(const std::string& clientID) const {
    auto found = byClientID_.first(hashOf(clientID), [&](std::size_t at) { return leases_[at].clientID == clientID; });
    if (!found) return std::nullopt;
    return leases_[*found];
}

bool LeaseTable::isQuarantined(IPv4Address ip, Date now) const {
    return quarantineByAddress_
        .first(hashOf(ip), [&](std::size_t at) { return quarantine_[at].ip == ip && quarantine_[at].isInForce(now); })
        .has_value();
}

std::vector<Lease> LeaseTable::sortedByIP() const {
    auto sorted = leases();
    std::stable_sort(sorted.begin(), sorted.end(), addressThenMACLess);
    return sorted;
}

std::vector<Lease> LeaseTable::sortedForDisplay(const PresenceLookup& presence) const {
    // Ask for each lease's presence once; the lookup may be costly and need not be consistent.
    std::vector<std::pair<std::optional<PresenceState>, const Lease*>> ranked;
    ranked.reserve(size());
    for (const auto& lease : leases()) ranked.emplace_back(presence ? presence(lease) : std::nullopt, &lease);
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& left, const auto& right) {
        return displaysBefore(*left.second, left.first, *right.second, right.first);
    });
    std::vector<Lease> sorted;
    sorted.reserve(ranked.size());
    for (const auto& entry : ranked) sorted.push_back(*entry.second);
    return sorted;
}

void LeaseTable::upsert(const Lease& lease) {
    if (recording_) changes_.push_back(TableChange::put(lease));
    auto found = byMAC_.first(hashOf(lease.mac), [&](std::size_t at) { return leases_[at].mac == lease.mac; });
    if (!found) {
        leases_.push_back(lease);
        removed_.push_back(false);
        places_.push_back({nextOrder_++, 0});
        indexLease(leases_.size() - 1);
    } else {
        unindexLease(*found);
        leases_[*found] = lease;
        indexLease(*found);
    }
    // Each change leaves an entry behind in the idle order; they are dropped before they pile up.
    if (idle_.entryCount() > 2 * size() + 64) restartIdleOrder(idle_.through());
}

void LeaseTable::applyUnrecorded(const TableChange& change) {
    recording_ = false;
    apply(*this, change);
    recording_ = true;
}

std::optional<Lease> LeaseTable::remove(const MACAddress& mac) {
    auto found = byMAC_.first(hashOf(mac), [&](std::size_t at) { return leases_[at].mac == mac; });
    if (!found) return std::nullopt;
    if (recording_) changes_.push_back(TableChange::removeLease(mac));
    Lease removed = leases_[*found];
    removeAt(*found);
    return removed;
}

void LeaseTable::addQuarantine(IPv4Address ip, Date until, const MACAddress& reportedBy) {
    dropQuarantine([&](const Quarantine& entry) { return entry.ip == ip; });
    quarantine_.push_back(Quarantine{ip, until, reportedBy});
    quarantineByAddress_.insert(hashOf(ip), quarantine_.size() - 1);
    if (recording_) changes_.push_back(TableChange::put(quarantine_.back()));
}

void LeaseTable::removeQuarantine(IPv4Address ip) {
    if (!quarantineByAddress_.first(hashOf(ip), [&](std::size_t at) { return quarantine_[at].ip == ip; })) return;
    dropQuarantine([&](const Quarantine& entry) { return entry.ip == ip; });
    if (recording_) changes_.push_back(TableChange::removeQuarantine(ip));
}

void LeaseTable::pruneQuarantine(Date now) {
    dropQuarantine([&](const Quarantine& entry) {
        if (entry.isInForce(now)) return false;
        if (recording_) changes_.push_back(TableChange::removeQuarantine(entry.ip));
        return true;
    });
}

std::vector<Lease> LeaseTable::dropExpiredOffers(Date now) {
    std::vector<Lease> dropped;
    dropLeases([&](const Lease& lease) {
        if (lease.state != Lease::State::offered || !lease.isExpired(now)) return false;
        if (recording_) changes_.push_back(TableChange::removeLease(lease.mac));
        dropped.push_back(lease);
        return true;
    });
    return dropped;
}

std::optional<Lease> LeaseTable::makeRoomForNewClient(Date now) {
    if (size() < inactiveLimit) return std::nullopt;
    auto current = [this](const IdleOrder::Entry& entry) { return currentLease(entry); };
    // A clock set back (or a date that is no number) makes leases hold again: counted afresh.
    if (idle_.through() <= now)
        idle_.advance(now, current);
    else
        restartIdleOrder(now);
    if (idle_.idleCount() < inactiveLimit) return std::nullopt;
    auto oldest = idle_.oldest(current);
    if (!oldest) return std::nullopt;
    return remove(*oldest);
}

const Lease* LeaseTable::currentLease(const IdleOrder::Entry& entry) const {
    const Lease* found = nullptr;
    byMAC_.forEachWith(hashOf(entry.mac), [&](std::size_t at) {
        if (leases_[at].mac == entry.mac && places_[at].version == entry.version) found = &leases_[at];
    });
    return found;
}

void LeaseTable::restartIdleOrder(Date through) {
    idle_.restart(through);
    for (std::size_t position = 0; position < leases_.size(); ++position)
        if (!removed_[position]) idle_.add(leases_[position], places_[position].order, places_[position].version);
}

int LeaseTable::clearInactive(Date now) {
    int cleared = 0;
    dropLeases([&](const Lease& lease) {
        if (lease.holdsAddress(now)) return false;
        if (recording_) changes_.push_back(TableChange::removeLease(lease.mac));
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
    for (const auto& lease : dropped)
        if (recording_) changes_.push_back(TableChange::removeLease(lease.mac));
    dropQuarantine([&](const Quarantine& entry) {
        if (range.contains(entry.ip)) return false;
        if (recording_) changes_.push_back(TableChange::removeQuarantine(entry.ip));
        return true;
    });
    return dropped;
}

void LeaseTable::PositionIndex::insert(std::size_t hash, std::size_t position) {
    if ((taken_ + 1) * 4 > entries_.size() * 3) grow(live_ + 1);
    std::size_t mask = entries_.size() - 1;
    auto shortHash = static_cast<std::uint32_t>(hash);
    for (std::size_t slot = hash & mask;; slot = (slot + 1) & mask) {
        auto& entry = entries_[slot];
        if (entry.position != empty && entry.position != erased) continue;
        if (entry.position == empty) ++taken_;
        entry = {shortHash, static_cast<std::uint32_t>(position)};
        ++live_;
        return;
    }
}

void LeaseTable::PositionIndex::erase(std::size_t hash, std::size_t position) {
    if (entries_.empty()) return;
    std::size_t mask = entries_.size() - 1;
    for (std::size_t slot = hash & mask; entries_[slot].position != empty; slot = (slot + 1) & mask) {
        if (entries_[slot].position != position) continue;
        entries_[slot].position = erased;
        --live_;
        return;
    }
}

void LeaseTable::PositionIndex::clear(std::size_t expected) {
    entries_.clear();
    live_ = taken_ = 0;
    grow(expected);
}

void LeaseTable::PositionIndex::renumber(const std::vector<std::uint32_t>& moved) {
    for (auto& entry : entries_)
        if (entry.position != empty && entry.position != erased) entry.position = moved[entry.position];
}

template <typename Visit>
void LeaseTable::PositionIndex::forEach(Visit visit) const {
    for (const auto& entry : entries_)
        if (entry.position != empty && entry.position != erased) visit(std::size_t{entry.position});
}

void LeaseTable::PositionIndex::grow(std::size_t live) {
    std::size_t size = 16;
    while (size < live * 2) size *= 2;
    auto old = std::exchange(entries_, std::vector<Entry>(size, Entry{0, empty}));
    live_ = taken_ = 0;
    // Only the short hash is kept, so an entry is placed again by it; lookups probe the same way.
    for (const auto& entry : old)
        if (entry.position != empty && entry.position != erased) insert(entry.hash, entry.position);
}

template <typename Visit>
void LeaseTable::PositionIndex::forEachWith(std::size_t hash, Visit visit) const {
    if (entries_.empty()) return;
    std::size_t mask = entries_.size() - 1;
    auto shortHash = static_cast<std::uint32_t>(hash);
    for (std::size_t slot = hash & mask; entries_[slot].position != empty; slot = (slot + 1) & mask)
        if (entries_[slot].position != erased && entries_[slot].hash == shortHash)
            visit(std::size_t{entries_[slot].position});
}

template <typename Matches>
std::optional<std::size_t> LeaseTable::PositionIndex::first(std::size_t hash, Matches matches) const {
    std::optional<std::size_t> lowest;
    if (entries_.empty()) return lowest;
    std::size_t mask = entries_.size() - 1;
    auto shortHash = static_cast<std::uint32_t>(hash);
    for (std::size_t slot = hash & mask; entries_[slot].position != empty; slot = (slot + 1) & mask) {
        const auto& entry = entries_[slot];
        if (entry.position == erased || entry.hash != shortHash) continue;
        if (lowest && *lowest < entry.position) continue;
        if (matches(std::size_t{entry.position})) lowest = entry.position;
    }
    return lowest;
}

void LeaseTable::indexLease(std::size_t position) {
    const auto& lease = leases_[position];
    byMAC_.insert(hashOf(lease.mac), position);
    if (canHoldAddress(lease)) {
        byAddress_.insert(hashOf(lease.ip), position);
        addressBlocks_.add(lease.ip, expiryKey(lease.expiresAt));
    }
    if (lease.clientID) byClientID_.insert(hashOf(*lease.clientID), position);
    places_[position].version = nextVersion_++;
    idle_.add(lease, places_[position].order, places_[position].version);
}

void LeaseTable::unindexLease(std::size_t position) {
    const auto& lease = leases_[position];
    idle_.remove(lease);
    byMAC_.erase(hashOf(lease.mac), position);
    if (canHoldAddress(lease)) {
        byAddress_.erase(hashOf(lease.ip), position);
        bool lastAtAddress =
            !byAddress_.first(hashOf(lease.ip), [&](std::size_t at) { return leases_[at].ip == lease.ip; });
        addressBlocks_.remove(lease.ip, lastAtAddress);
    }
    if (lease.clientID) byClientID_.erase(hashOf(*lease.clientID), position);
}

void LeaseTable::reindexLeases() {
    byMAC_.clear(leases_.size());
    byAddress_.clear(leases_.size());
    byClientID_.clear(leases_.size());
    addressBlocks_.clear();
    idle_.restart(idle_.through());
    for (std::size_t position = 0; position < leases_.size(); ++position)
        if (!removed_[position]) indexLease(position);
}

void LeaseTable::removeAt(std::size_t position) {
    unindexLease(position);
    leases_[position] = Lease{};
    removed_[position] = true;
    ++removedCount_;
    if (removedCount_ > 64 && removedCount_ * 2 > leases_.size()) closeGaps();
}

void LeaseTable::closeGaps() const {
    std::vector<std::uint32_t> moved(leases_.size(), 0);
    std::size_t kept = 0;
    for (std::size_t position = 0; position < leases_.size(); ++position) {
        if (removed_[position]) continue;
        moved[position] = static_cast<std::uint32_t>(kept);
        if (kept != position) {
            leases_[kept] = std::move(leases_[position]);
            places_[kept] = places_[position];
        }
        ++kept;
    }
    leases_.resize(kept);
    places_.resize(kept);
    removed_.assign(kept, false);
    removedCount_ = 0;
    byMAC_.renumber(moved);
    byAddress_.renumber(moved);
    byClientID_.renumber(moved);
}

void LeaseTable::reindexQuarantine() {
    quarantineByAddress_.clear(quarantine_.size());
    for (std::size_t position = 0; position < quarantine_.size(); ++position)
        quarantineByAddress_.insert(hashOf(quarantine_[position].ip), position);
}

template <typename Drop>
void LeaseTable::dropLeases(Drop drop) {
    bool dropped = false;
    for (std::size_t position = 0; position < leases_.size(); ++position) {
        if (removed_[position] || !drop(std::as_const(leases_[position]))) continue;
        unindexLease(position);
        removed_[position] = true;
        ++removedCount_;
        dropped = true;
    }
    if (dropped) closeGaps();
}

template <typename Drop>
void LeaseTable::dropQuarantine(Drop drop) {
    auto before = quarantine_.size();
    std::erase_if(quarantine_, [&](const Quarantine& entry) { return drop(entry); });
    if (quarantine_.size() != before) reindexQuarantine();
}

}  // namespace anvil
