// The table's indexes against a plain table that finds everything by walking it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/leases/lease_table.hpp"

namespace anvil {
namespace {

using State = Lease::State;

}  // namespace

// Readable failures: the fields the indexes look at.
void PrintTo(const Lease& lease, std::ostream* out) {
    *out << lease.mac.description() << " " << lease.ip.description() << " " << rawValue(lease.state) << " until "
         << lease.expiresAt.secondsSince1970 << " cid " << lease.clientID.value_or("-");
}

namespace {

// The table's behaviour written as linear searches, one member per mutation.
struct LinearTable {
    std::vector<Lease> leases;
    std::vector<Quarantine> quarantine;

    LinearTable(std::vector<Lease> initial, const std::vector<Quarantine>& entries) : leases(std::move(initial)) {
        for (const auto& entry : entries) {
            std::erase_if(quarantine, [&](const Quarantine& kept) { return kept.ip == entry.ip; });
            quarantine.push_back(entry);
        }
    }

    std::optional<Lease> lease(const MACAddress& mac) const {
        for (const auto& entry : leases)
            if (entry.mac == mac) return entry;
        return std::nullopt;
    }
    std::optional<Lease> holder(IPv4Address ip, Date now) const {
        for (const auto& entry : leases)
            if (entry.ip == ip && entry.holdsAddress(now)) return entry;
        return std::nullopt;
    }
    std::optional<Lease> withClientID(const std::string& clientID) const {
        for (const auto& entry : leases)
            if (entry.clientID == clientID) return entry;
        return std::nullopt;
    }
    bool isQuarantined(IPv4Address ip, Date now) const {
        for (const auto& entry : quarantine)
            if (entry.ip == ip && entry.isInForce(now)) return true;
        return false;
    }

    void upsert(const Lease& lease) {
        for (auto& existing : leases)
            if (existing.mac == lease.mac) {
                existing = lease;
                return;
            }
        leases.push_back(lease);
    }
    std::optional<Lease> remove(const MACAddress& mac) {
        for (auto at = leases.begin(); at != leases.end(); ++at)
            if (at->mac == mac) {
                Lease removed = *at;
                leases.erase(at);
                return removed;
            }
        return std::nullopt;
    }
    std::vector<Lease> dropWhere(const std::function<bool(const Lease&)>& drop) {
        std::vector<Lease> dropped;
        std::erase_if(leases, [&](const Lease& lease) {
            if (!drop(lease)) return false;
            dropped.push_back(lease);
            return true;
        });
        return dropped;
    }
    std::optional<Lease> makeRoomForNewClient(Date now) {
        std::size_t inactive = 0;
        const Lease* oldest = nullptr;
        for (const auto& lease : leases) {
            if (lease.holdsAddress(now)) continue;
            ++inactive;
            if (!oldest || lease.lastSeen < oldest->lastSeen) oldest = &lease;
        }
        if (inactive < LeaseTable::inactiveLimit) return std::nullopt;
        return remove(oldest->mac);
    }
    void addQuarantine(IPv4Address ip, Date until, const MACAddress& reportedBy) {
        std::erase_if(quarantine, [&](const Quarantine& entry) { return entry.ip == ip; });
        quarantine.push_back({ip, until, reportedBy});
    }
};

// Few keys, so that operations keep meeting the same leases, addresses and identifiers.
struct Generator {
    std::mt19937 random;

    int below(int count) { return std::uniform_int_distribution<int>(0, count - 1)(random); }
    Date when() { return Date{static_cast<double>(below(20))}; }
    // Few by default; many, so that removals leave more gaps than the table keeps open.
    int clients = 16;
    MACAddress mac() { return macNumber(below(clients)); }
    static MACAddress macNumber(int number) {
        return MACAddress{{0x02, 0, 0, 0, static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)}};
    }
    // Two of the twelve lie outside every range the test drops by.
    IPv4Address address() { return IPv4Address{10, 0, 0, static_cast<std::uint8_t>(below(12))}; }
    std::optional<std::string> clientID() {
        int pick = below(5);
        if (pick == 4) return std::nullopt;
        return "01:cid-" + std::to_string(pick);
    }
    Lease lease() {
        Lease made;
        made.mac = mac();
        made.ip = address();
        made.state = static_cast<State>(below(4));
        made.expiresAt = when();
        made.clientID = clientID();
        made.lastSeen = when();
        return made;
    }
};

// Reading the whole list closes the gaps removals leave, so it is compared only when asked, after
// the lookups.
void expectSameLookups(const LeaseTable& table, const LinearTable& reference, Date now, const std::string& where,
                       int clients = 16, bool wholeList = true) {
    ASSERT_EQ(table.size(), reference.leases.size()) << where;
    for (int number = 0; number < clients; ++number) {
        auto mac = Generator::macNumber(number);
        ASSERT_EQ(table.lease(mac), reference.lease(mac)) << where << " mac " << number;
    }
    for (int last = 0; last < 12; ++last) {
        IPv4Address ip{10, 0, 0, static_cast<std::uint8_t>(last)};
        for (Date at : {now, Date{0}, Date{10}}) {
            ASSERT_EQ(table.holder(ip, at), reference.holder(ip, at)) << where << " ip " << last;
            ASSERT_EQ(table.isQuarantined(ip, at), reference.isQuarantined(ip, at)) << where << " ip " << last;
        }
    }
    for (int number = 0; number < 4; ++number) {
        auto clientID = "01:cid-" + std::to_string(number);
        ASSERT_EQ(table.leaseWithClientID(clientID), reference.withClientID(clientID)) << where << " cid " << number;
    }
    if (!wholeList) return;
    ASSERT_EQ(table.leases(), reference.leases) << where;
    ASSERT_EQ(table.quarantine(), reference.quarantine) << where;
}

TEST(LeaseTableIndex, everyLookupAgreesWithALinearTableAfterEveryStep) {
    struct Case {
        unsigned seed;
        // Old inactive leases loaded at the start, so that making room for a new client evicts.
        int inactiveAtStart;
        int steps;
        // A loaded file that names a hardware address twice; a removal then recorded names only
        // the address, so replaying the changes is checked only without repeats.
        bool repeatedMACs;
        int clients = 16;
    } cases[] = {{1, 0, 3000, true},
                 {2, 0, 3000, true},
                 {3, 0, 3000, false},
                 {4, static_cast<int>(LeaseTable::inactiveLimit) - 4, 600, false},
                 {5, 0, 6000, false, 400}};
    for (const auto& c : cases) {
        Generator generate{std::mt19937{c.seed}, c.clients};
        // Loaded leases may repeat a hardware address and quarantine entries an address, as a
        // hand-edited file can.
        std::vector<Lease> initial;
        for (int index = 0; index < 10; ++index) {
            auto lease = generate.lease();
            bool repeat =
                std::any_of(initial.begin(), initial.end(), [&](const Lease& e) { return e.mac == lease.mac; });
            if (c.repeatedMACs || !repeat) initial.push_back(lease);
        }
        for (int index = 0; index < c.inactiveAtStart; ++index) {
            Lease old;
            old.mac = Generator::macNumber(256 + index);
            old.ip = IPv4Address{10, 0, 1, 1};
            old.state = State::released;
            old.lastSeen = Date{static_cast<double>(index % 7)};
            initial.push_back(old);
        }
        std::vector<Quarantine> entries;
        for (int index = 0; index < 6; ++index)
            entries.push_back({generate.address(), generate.when(), generate.mac()});

        LeaseTable table(initial, entries);
        LeaseTable replayed(initial, entries);
        LinearTable reference(initial, entries);
        ASSERT_NO_FATAL_FAILURE(
            expectSameLookups(table, reference, Date{0}, "seed " + std::to_string(c.seed) + " loaded"));

        for (int step = 0; step < c.steps; ++step) {
            Date now = generate.when();
            int operation = generate.below(11);
            std::string where =
                "seed " + std::to_string(c.seed) + " step " + std::to_string(step) + " op " + std::to_string(operation);
            switch (operation) {
                case 0:
                case 1:
                case 2: {
                    auto lease = generate.lease();
                    table.upsert(lease);
                    reference.upsert(lease);
                    break;
                }
                case 3: {
                    auto mac = generate.mac();
                    ASSERT_EQ(table.remove(mac), reference.remove(mac)) << where;
                    break;
                }
                case 4: {
                    auto ip = generate.address();
                    auto until = generate.when();
                    auto by = generate.mac();
                    table.addQuarantine(ip, until, by);
                    reference.addQuarantine(ip, until, by);
                    break;
                }
                case 5: {
                    auto ip = generate.address();
                    table.removeQuarantine(ip);
                    std::erase_if(reference.quarantine, [&](const Quarantine& entry) { return entry.ip == ip; });
                    break;
                }
                case 6:
                    table.pruneQuarantine(now);
                    std::erase_if(reference.quarantine, [&](const Quarantine& entry) { return !entry.isInForce(now); });
                    break;
                case 7:
                    ASSERT_EQ(table.dropExpiredOffers(now), reference.dropWhere([&](const Lease& lease) {
                        return lease.state == State::offered && lease.isExpired(now);
                    })) << where;
                    break;
                case 8: ASSERT_EQ(table.makeRoomForNewClient(now), reference.makeRoomForNewClient(now)) << where; break;
                case 9:
                    // Rare, or the table would rarely hold anything; late, or no one would be evicted.
                    if (generate.below(8) != 0 || step < c.steps / 2) break;
                    ASSERT_EQ(
                        table.clearInactive(now),
                        static_cast<int>(
                            reference.dropWhere([&](const Lease& lease) { return !lease.holdsAddress(now); }).size()))
                        << where;
                    break;
                case 10: {
                    if (generate.below(4) != 0) break;
                    auto low = static_cast<std::uint8_t>(generate.below(5));
                    AddressRange range{IPv4Address{10, 0, 0, low},
                                       IPv4Address{10, 0, 0, static_cast<std::uint8_t>(low + 5)}};
                    ASSERT_EQ(table.dropOutside(range), reference.dropWhere([&](const Lease& lease) {
                        return !range.contains(lease.ip);
                    })) << where;
                    std::erase_if(reference.quarantine,
                                  [&](const Quarantine& entry) { return !range.contains(entry.ip); });
                    break;
                }
            }
            // The whole list now and then, so that lookups also meet a table with gaps.
            bool wholeList = step % 97 == 0;
            ASSERT_NO_FATAL_FAILURE(expectSameLookups(table, reference, now, where, c.clients, wholeList));
            // The recorded changes rebuild the same table through the same indexed members.
            auto changes = table.takeChanges();
            if (c.repeatedMACs) continue;
            for (const auto& change : changes) apply(replayed, change);
            ASSERT_NO_FATAL_FAILURE(
                expectSameLookups(replayed, reference, now, where + " replayed", c.clients, wholeList));
        }
    }
}

}  // namespace
}  // namespace anvil
