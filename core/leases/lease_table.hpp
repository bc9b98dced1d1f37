#pragma once
// The leases (one per hardware address) and quarantined addresses, as one value.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/addressing/presence_state.hpp"
#include "core/addressing/server_config.hpp"
#include "core/leases/address_blocks.hpp"
#include "core/leases/idle_order.hpp"
#include "core/leases/lease.hpp"
#include "core/leases/quarantine.hpp"
#include "core/leases/table_change.hpp"

namespace anvil {

class LeaseTable {
public:
    using PresenceLookup = std::function<std::optional<PresenceState>(const Lease&)>;

    LeaseTable() = default;
    // Of several quarantine entries for one address (a hand-edited file), the last is kept.
    LeaseTable(std::vector<Lease> leases, std::vector<Quarantine> quarantine);

    // Removed leases leave gaps that the next read of the whole list closes, so a table is read
    // by one thread at a time, like any container that is being changed.
    const std::vector<Lease>& leases() const;
    std::size_t size() const { return leases_.size() - removedCount_; }
    const std::vector<Quarantine>& quarantine() const { return quarantine_; }

    std::optional<Lease> lease(const MACAddress& mac) const;
    // The first lease in table order that holds the address at `now`.
    std::optional<Lease> holder(IPv4Address ip, Date now) const;
    // The lease holder() gives, in place; valid until the table changes.
    const Lease* holderAt(IPv4Address ip, Date now) const;
    // Calls `visit` with every offered or bound lease, expired or not, and its place in table order
    // (a number that grows with the order, not an index into leases()), in no particular order.
    void forEachAddressLease(const std::function<void(const Lease&, std::size_t order)>& visit) const;
    // The first address of `range`, in address order, whose holder at `now` is nobody or `client`
    // and that `accepts` takes. Runs of addresses held by others are passed over a block at a time.
    std::optional<IPv4Address> firstFreeAddress(const MACAddress& client, AddressRange range, Date now,
                                                const std::function<bool(IPv4Address)>& accepts) const;
    // The first lease in table order that carries this client identifier.
    std::optional<Lease> leaseWithClientID(const std::string& clientID) const;
    bool isQuarantined(IPv4Address ip, Date now) const;

    std::vector<Lease> sortedByIP() const;
    // Online first, then conflict, unknown, offline, and leases with no presence last.
    std::vector<Lease> sortedForDisplay(const PresenceLookup& presence) const;
    // The order sortedForDisplay gives, for screens that keep their rows sorted themselves.
    static bool displaysBefore(const Lease& left, std::optional<PresenceState> leftPresence, const Lease& right,
                               std::optional<PresenceState> rightPresence);

    // Replaces the lease of the same hardware address in place, or appends.
    void upsert(const Lease& lease);
    std::optional<Lease> remove(const MACAddress& mac);
    void addQuarantine(IPv4Address ip, Date until, const MACAddress& reportedBy);
    void removeQuarantine(IPv4Address ip);
    void pruneQuarantine(Date now);
    // Removes the offers that ran out at `now` and returns them in table order: the client never
    // came back for the address, and a stream of made-up clients must not grow the table.
    std::vector<Lease> dropExpiredOffers(Date now);
    // Leases that hold no address (released, reclaimed, expired) are kept for their history up to
    // this many; past it, a new client takes the place of the one heard from longest ago.
    static constexpr std::size_t inactiveLimit = 1024;
    // Called before a new client is added: at the limit, removes and returns that oldest lease.
    std::optional<Lease> makeRoomForNewClient(Date now);
    // Removes every lease that does not hold its address at `now`; returns how many.
    int clearInactive(Date now);
    // Removes the leases whose address lies outside the range and returns them in table order;
    // quarantine entries outside the range go too.
    std::vector<Lease> dropOutside(AddressRange range);

    // Every change made since the last call, in order: applied to the table as it was then, they
    // give this table, order included. The lease journal stores them; they are not part of the
    // table's value.
    std::vector<TableChange> takeChanges() { return std::exchange(changes_, {}); }
    // Applies a change that is already stored (a journal being replayed) without logging it.
    void applyUnrecorded(const TableChange& change);

    friend bool operator==(const LeaseTable& left, const LeaseTable& right) {
        return left.leases() == right.leases() && left.quarantine_ == right.quarantine_;
    }

private:
    // Table positions by the hash of a key; the caller compares the keys themselves. Several
    // entries may share a key. Flat, so that copying a table (each decision does) stays cheap.
    class PositionIndex {
    public:
        void insert(std::size_t hash, std::size_t position);
        void erase(std::size_t hash, std::size_t position);
        void clear(std::size_t expected);
        std::size_t size() const { return live_; }
        // Moves every position to `moved[position]`; the order of positions is kept.
        void renumber(const std::vector<std::uint32_t>& moved);
        template <typename Visit>
        void forEach(Visit visit) const;
        // The lowest position whose hash is `hash` and that `matches`.
        template <typename Matches>
        std::optional<std::size_t> first(std::size_t hash, Matches matches) const;
        // Every position whose hash is `hash`, in no particular order.
        template <typename Visit>
        void forEachWith(std::size_t hash, Visit visit) const;

    private:
        struct Entry {
            std::uint32_t hash = 0;
            std::uint32_t position = 0;
        };
        static constexpr std::uint32_t empty = 0xFFFFFFFF;
        static constexpr std::uint32_t erased = 0xFFFFFFFE;
        void grow(std::size_t live);

        std::vector<Entry> entries_;
        std::size_t live_ = 0;
        std::size_t taken_ = 0;  // live and erased
    };

    void indexLease(std::size_t position);
    void unindexLease(std::size_t position);
    void reindexLeases();
    void reindexQuarantine();
    // The lease an entry of idle_ stands for, while it is unchanged.
    const Lease* currentLease(const IdleOrder::Entry& entry) const;
    void restartIdleOrder(Date through);
    // Leaves a gap at `position`; gaps are closed once they outnumber the leases, or when the whole
    // list is read, so a removal costs O(1) amortised.
    void removeAt(std::size_t position);
    void closeGaps() const;
    // Removes the leases `drop` picks (asked once each, in table order).
    template <typename Drop>
    void dropLeases(Drop drop);
    template <typename Drop>
    void dropQuarantine(Drop drop);

    // In table order, with gaps where leases were removed; the indexes hold positions in it.
    mutable std::vector<Lease> leases_;
    mutable std::vector<bool> removed_;
    mutable std::size_t removedCount_ = 0;
    std::vector<Quarantine> quarantine_;
    std::vector<TableChange> changes_;
    bool recording_ = true;
    // Kept in step by every change so lookups need no scan. A hand-edited file may name one
    // hardware address twice: lookups find the first, as a scan would.
    mutable PositionIndex byMAC_;
    // Only offers and bindings: the leases that can hold an address at some time.
    mutable PositionIndex byAddress_;
    mutable PositionIndex byClientID_;
    // The addresses of the offers and bindings, for the first-free walk.
    AddressBlocks addressBlocks_;
    PositionIndex quarantineByAddress_;
    // Beside each place in leases_: its place in table order (kept while the lease is replaced in
    // place) and the version it was indexed under, which tells current entries of idle_ from stale.
    struct Place {
        std::uint64_t order = 0;
        std::uint64_t version = 0;
    };
    mutable std::vector<Place> places_;
    std::uint64_t nextOrder_ = 0;
    std::uint64_t nextVersion_ = 0;
    // The leases that hold no address, oldest first, for making room without a walk.
    IdleOrder idle_;
};

}  // namespace anvil
