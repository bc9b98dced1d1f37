#pragma once
// The leases that hold no address at a moment, oldest first, so that making room for a new client
// finds the one to let go without a walk of the table. Offers and bindings still holding wait in
// expiry order and join once the moment passes their expiry. A lease that changes is added again;
// its earlier entries stay behind and are skipped when met (the caller tells them apart by a
// version), and all are rebuilt once the stale ones outnumber the leases.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/leases/lease.hpp"

namespace anvil {

class IdleOrder {
public:
    struct Entry {
        double key = 0;  // last seen among the idle, expiry among the holding
        std::uint64_t order = 0;
        std::uint64_t version = 0;
        MACAddress mac;
    };

    Date through() const { return through_; }
    std::size_t idleCount() const { return idleCount_; }
    std::size_t entryCount() const { return idle_.size() + holding_.size(); }

    // A lease indexed under `version`, `order` being its place in table order.
    void add(const Lease& lease, std::uint64_t order, std::uint64_t version) {
        if (isIdle(lease)) {
            push(idle_, {seenKey(lease), order, version, lease.mac});
            ++idleCount_;
        } else {
            push(holding_, {expiryKey(lease), order, version, lease.mac});
        }
    }
    // The lease of an earlier add() is no longer indexed.
    void remove(const Lease& lease) {
        if (isIdle(lease)) --idleCount_;
    }
    // Empty, as of `through`; the caller adds every lease again.
    void restart(Date through) {
        through_ = through;
        idle_.clear();
        holding_.clear();
        idleCount_ = 0;
    }
    // Moves on to `now`, which is not before through(): leases whose expiry it passed become idle.
    // `current(entry)` gives the lease an entry still stands for, or null.
    template <typename Current>
    void advance(Date now, Current current) {
        through_ = now;
        while (!holding_.empty() && !(now < Date{holding_.front().key})) {
            Entry entry = pop(holding_);
            if (const Lease* lease = current(entry)) {
                push(idle_, {seenKey(*lease), entry.order, entry.version, entry.mac});
                ++idleCount_;
            }
        }
    }
    // The idle lease heard from longest ago (of equals, the first in table order).
    template <typename Current>
    std::optional<MACAddress> oldest(Current current) {
        while (!idle_.empty()) {
            if (current(idle_.front())) return idle_.front().mac;
            pop(idle_);
        }
        return std::nullopt;
    }

private:
    bool isIdle(const Lease& lease) const { return !lease.holdsAddress(through_); }
    // Dates that are not numbers sort first: such a lease has always run out, and is the oldest.
    static double orderable(double seconds) {
        return std::isnan(seconds) ? -std::numeric_limits<double>::infinity() : seconds;
    }
    static double seenKey(const Lease& lease) { return orderable(lease.lastSeen.secondsSince1970); }
    static double expiryKey(const Lease& lease) { return orderable(lease.expiresAt.secondsSince1970); }

    // Min-heaps by (key, order).
    static bool later(const Entry& left, const Entry& right) {
        if (left.key != right.key) return left.key > right.key;
        return left.order > right.order;
    }
    static void push(std::vector<Entry>& heap, Entry entry) {
        heap.push_back(entry);
        std::push_heap(heap.begin(), heap.end(), later);
    }
    static Entry pop(std::vector<Entry>& heap) {
        std::pop_heap(heap.begin(), heap.end(), later);
        Entry entry = heap.back();
        heap.pop_back();
        return entry;
    }

    Date through_{-std::numeric_limits<double>::infinity()};
    std::vector<Entry> idle_;
    std::vector<Entry> holding_;
    std::size_t idleCount_ = 0;
};

}  // namespace anvil
