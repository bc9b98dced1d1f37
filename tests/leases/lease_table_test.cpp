#include "core/leases/lease_table.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "lease_builders.hpp"

namespace anvil {
namespace {

using testing::ip;
using testing::lease;
using testing::mac;
using State = Lease::State;

std::vector<std::string> macsOf(const std::vector<Lease>& leases) {
    std::vector<std::string> texts;
    for (const auto& entry : leases) texts.push_back(entry.mac.description());
    return texts;
}

TEST(Lease, holdsItsAddressOnlyWhileOfferedOrBoundAndBeforeExpiry) {
    struct Case {
        State state;
        double expiresAt;
        bool holds;
        bool expired;
    } cases[] = {
        {State::bound, 101, true, false},     {State::bound, 100, false, true},
        {State::offered, 101, true, false},   {State::offered, 99, false, true},
        {State::released, 200, false, false}, {State::reclaimed, 200, false, false},
        {State::released, 100, false, true},
    };
    for (const auto& c : cases) {
        auto entry = lease("aa:bb:cc:00:11:22", "10.0.0.5", c.state, c.expiresAt);
        EXPECT_EQ(entry.holdsAddress(Date{100}), c.holds) << rawValue(c.state) << " " << c.expiresAt;
        EXPECT_EQ(entry.isExpired(Date{100}), c.expired) << rawValue(c.state) << " " << c.expiresAt;
    }
}

TEST(Lease, stateTextsAreTheCaseNames) {
    for (auto state : {State::offered, State::bound, State::released, State::reclaimed})
        EXPECT_EQ(leaseStateFromRaw(rawValue(state)), state);
    EXPECT_EQ(rawValue(State::reclaimed), "reclaimed");
    EXPECT_EQ(leaseStateFromRaw("expired"), std::nullopt);
    EXPECT_EQ(leaseStateFromRaw("Bound"), std::nullopt);
}

TEST(LeaseTable, holderIsTheFirstLeaseInForceForTheAddress) {
    LeaseTable table({lease("00:00:00:00:00:01", "10.0.0.5", State::released, 500),
                      lease("00:00:00:00:00:02", "10.0.0.5", State::reclaimed, 500),
                      lease("00:00:00:00:00:03", "10.0.0.5", State::offered, 50),
                      lease("00:00:00:00:00:04", "10.0.0.5", State::bound, 500),
                      lease("00:00:00:00:00:05", "10.0.0.5", State::bound, 500)},
                     {});
    EXPECT_EQ(table.holder(ip("10.0.0.5"), Date{100})->mac, mac("00:00:00:00:00:04"));
    EXPECT_EQ(table.holder(ip("10.0.0.5"), Date{500}), std::nullopt);
    EXPECT_EQ(table.holder(ip("10.0.0.6"), Date{100}), std::nullopt);
    EXPECT_EQ(table.lease(mac("00:00:00:00:00:01"))->state, State::released);
    EXPECT_EQ(table.lease(mac("00:00:00:00:00:09")), std::nullopt);
}

TEST(LeaseTable, upsertReplacesInPlaceAndAppendsNewClients) {
    LeaseTable table;
    table.upsert(lease("00:00:00:00:00:01", "10.0.0.5", State::bound, 500));
    table.upsert(lease("00:00:00:00:00:02", "10.0.0.6", State::bound, 500));
    table.upsert(lease("00:00:00:00:00:01", "10.0.0.9", State::offered, 600));
    ASSERT_EQ(table.leases().size(), 2u);
    EXPECT_EQ(table.leases()[0].ip, ip("10.0.0.9"));
    EXPECT_EQ(table.leases()[0].state, State::offered);
    table.upsert(lease("00:00:00:00:00:03", "10.0.0.7", State::bound, 500));
    EXPECT_EQ(macsOf(table.leases()),
              (std::vector<std::string>{"00:00:00:00:00:01", "00:00:00:00:00:02", "00:00:00:00:00:03"}));

    auto removed = table.remove(mac("00:00:00:00:00:02"));
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->ip, ip("10.0.0.6"));
    EXPECT_EQ(table.remove(mac("00:00:00:00:00:02")), std::nullopt);
    EXPECT_EQ(macsOf(table.leases()), (std::vector<std::string>{"00:00:00:00:00:01", "00:00:00:00:00:03"}));
}

TEST(LeaseTable, quarantineKeepsOneEntryPerAddressAndEndsAtItsUntil) {
    LeaseTable table;
    table.addQuarantine(ip("10.0.0.5"), Date{200}, mac("00:00:00:00:00:01"));
    table.addQuarantine(ip("10.0.0.6"), Date{100}, mac("00:00:00:00:00:01"));
    table.addQuarantine(ip("10.0.0.5"), Date{300}, mac("00:00:00:00:00:02"));
    ASSERT_EQ(table.quarantine().size(), 2u);
    EXPECT_EQ(table.quarantine()[1], (Quarantine{ip("10.0.0.5"), Date{300}, mac("00:00:00:00:00:02")}));

    EXPECT_TRUE(table.isQuarantined(ip("10.0.0.6"), Date{99}));
    EXPECT_FALSE(table.isQuarantined(ip("10.0.0.6"), Date{100}));
    EXPECT_FALSE(table.isQuarantined(ip("10.0.0.7"), Date{0}));

    table.pruneQuarantine(Date{100});
    ASSERT_EQ(table.quarantine().size(), 1u);
    EXPECT_EQ(table.quarantine()[0].ip, ip("10.0.0.5"));
}

// A file may carry duplicates or addresses of an older range; the table keeps neither.
TEST(LeaseTable, quarantineFromAFileKeepsOneEntryPerAddressWithinTheRange) {
    auto someone = mac("00:00:00:00:00:01");
    LeaseTable table({},
                     {Quarantine{ip("10.0.0.5"), Date{200}, someone}, Quarantine{ip("10.0.0.6"), Date{200}, someone},
                      Quarantine{ip("10.0.0.5"), Date{300}, someone}, Quarantine{ip("10.9.0.1"), Date{300}, someone}});
    EXPECT_EQ(table.quarantine(), (std::vector{Quarantine{ip("10.0.0.6"), Date{200}, someone},
                                               Quarantine{ip("10.0.0.5"), Date{300}, someone},
                                               Quarantine{ip("10.9.0.1"), Date{300}, someone}}));
    table.takeChanges();
    table.dropOutside(AddressRange{ip("10.0.0.1"), ip("10.0.0.9")});
    EXPECT_EQ(table.quarantine().size(), 2u);
    EXPECT_FALSE(table.isQuarantined(ip("10.9.0.1"), Date{0}));
    EXPECT_EQ(table.takeChanges(), std::vector{TableChange::removeQuarantine(ip("10.9.0.1"))});
}

// Only offers that ran out leave; every other lease stays whatever its expiry.
TEST(LeaseTable, dropExpiredOffersTakesOnlyOffersThatRanOut) {
    LeaseTable table({lease("00:00:00:00:00:01", "10.0.0.5", State::offered, 100),
                      lease("00:00:00:00:00:02", "10.0.0.6", State::offered, 101),
                      lease("00:00:00:00:00:03", "10.0.0.7", State::bound, 50),
                      lease("00:00:00:00:00:04", "10.0.0.8", State::released, 50),
                      lease("00:00:00:00:00:05", "10.0.0.9", State::offered, 99)},
                     {});
    auto dropped = table.dropExpiredOffers(Date{100});
    EXPECT_EQ(macsOf(dropped), (std::vector<std::string>{"00:00:00:00:00:01", "00:00:00:00:00:05"}));
    EXPECT_EQ(macsOf(table.leases()),
              (std::vector<std::string>{"00:00:00:00:00:02", "00:00:00:00:00:03", "00:00:00:00:00:04"}));
    EXPECT_EQ(table.takeChanges(), (std::vector{TableChange::removeLease(mac("00:00:00:00:00:01")),
                                                TableChange::removeLease(mac("00:00:00:00:00:05"))}));
    EXPECT_TRUE(table.dropExpiredOffers(Date{100}).empty());
}

TEST(LeaseTable, clearInactiveAndDropOutsideKeepTheOrderOfWhatStays) {
    LeaseTable table({lease("00:00:00:00:00:01", "10.0.0.5", State::bound, 500),
                      lease("00:00:00:00:00:02", "10.0.0.6", State::released, 500),
                      lease("00:00:00:00:00:03", "10.0.0.7", State::offered, 100),
                      lease("00:00:00:00:00:04", "10.0.0.4", State::bound, 500)},
                     {});
    auto copy = table;
    EXPECT_EQ(copy.clearInactive(Date{100}), 2);
    EXPECT_EQ(macsOf(copy.leases()), (std::vector<std::string>{"00:00:00:00:00:01", "00:00:00:00:00:04"}));

    auto dropped = table.dropOutside(AddressRange{ip("10.0.0.5"), ip("10.0.0.6")});
    EXPECT_EQ(macsOf(dropped), (std::vector<std::string>{"00:00:00:00:00:03", "00:00:00:00:00:04"}));
    EXPECT_EQ(macsOf(table.leases()), (std::vector<std::string>{"00:00:00:00:00:01", "00:00:00:00:00:02"}));
}

TEST(LeaseTable, sortedByIPOrdersByAddressThenHardwareAddressText) {
    LeaseTable table({lease("0a:00:00:00:00:01", "10.0.0.10", State::bound, 500),
                      lease("0b:00:00:00:00:01", "10.0.0.9", State::bound, 500),
                      lease("ff:00:00:00:00:01", "10.0.0.10", State::released, 500),
                      lease("a0:00:00:00:00:01", "10.0.0.10", State::released, 500)},
                     {});
    // 10.0.0.9 < 10.0.0.10 as numbers, though not as text; "0a" < "a0" < "ff" as text.
    EXPECT_EQ(macsOf(table.sortedByIP()), (std::vector<std::string>{"0b:00:00:00:00:01", "0a:00:00:00:00:01",
                                                                    "a0:00:00:00:00:01", "ff:00:00:00:00:01"}));
    EXPECT_EQ(table.leases()[0].mac, mac("0a:00:00:00:00:01"));  // the table itself is not sorted
}

TEST(LeaseTable, displayOrderRanksPresenceThenAddressAndIsStable) {
    std::map<std::string, std::optional<PresenceState>> presence = {
        {"00:00:00:00:00:01", PresenceState::offline},  {"00:00:00:00:00:02", std::nullopt},
        {"00:00:00:00:00:03", PresenceState::online},   {"00:00:00:00:00:04", PresenceState::unknown},
        {"00:00:00:00:00:05", PresenceState::conflict}, {"00:00:00:00:00:06", PresenceState::online},
    };
    // The two records for 07 compare equal and must keep their table order.
    LeaseTable table({lease("00:00:00:00:00:01", "10.0.0.1", State::bound, 500),
                      lease("00:00:00:00:00:02", "10.0.0.2", State::bound, 500),
                      lease("00:00:00:00:00:03", "10.0.0.200", State::bound, 500),
                      lease("00:00:00:00:00:04", "10.0.0.4", State::bound, 500),
                      lease("00:00:00:00:00:05", "10.0.0.5", State::bound, 500),
                      lease("00:00:00:00:00:06", "10.0.0.6", State::bound, 500),
                      lease("00:00:00:00:00:07", "10.0.0.7", State::bound, 500),
                      lease("00:00:00:00:00:07", "10.0.0.7", State::released, 500)},
                     {});
    auto sorted = table.sortedForDisplay([&](const Lease& entry) -> std::optional<PresenceState> {
        auto found = presence.find(entry.mac.description());
        return found == presence.end() ? std::nullopt : found->second;
    });
    EXPECT_EQ(macsOf(sorted), (std::vector<std::string>{"00:00:00:00:00:06", "00:00:00:00:00:03", "00:00:00:00:00:05",
                                                        "00:00:00:00:00:04", "00:00:00:00:00:01", "00:00:00:00:00:02",
                                                        "00:00:00:00:00:07", "00:00:00:00:00:07"}));
    EXPECT_EQ(sorted[6].state, State::bound);
    EXPECT_EQ(sorted[7].state, State::released);
}

// One lease short of the limit after a count: whatever makes one more lease hold no address
// must bring the eviction of the oldest, and nothing else may.
TEST(LeaseTable, makingRoomNoticesEveryLeaseThatStopsHoldingSinceTheLastCount) {
    struct Case {
        const char* name;
        std::function<void(LeaseTable&)> change;
        Date at;
        bool evicts;
    } cases[] = {
        {"released",
         [](LeaseTable& table) { table.upsert(lease("02:00:00:00:ff:01", "10.0.9.1", State::released, 5000, 900)); },
         Date{1000}, true},
        {"bound but run out",
         [](LeaseTable& table) { table.upsert(lease("02:00:00:00:ff:01", "10.0.9.1", State::bound, 900, 900)); },
         Date{1000}, true},
        {"a new client released",
         [](LeaseTable& table) { table.upsert(lease("02:00:00:00:ff:02", "10.0.9.2", State::reclaimed, 5000, 900)); },
         Date{1000}, true},
        {"time passes", [](LeaseTable&) {}, Date{5000}, true},
        {"renewed",
         [](LeaseTable& table) { table.upsert(lease("02:00:00:00:ff:01", "10.0.9.1", State::bound, 9000, 990)); },
         Date{1000}, false},
        {"a new client bound",
         [](LeaseTable& table) { table.upsert(lease("02:00:00:00:ff:02", "10.0.9.2", State::offered, 9000, 990)); },
         Date{1000}, false},
    };
    for (const auto& c : cases) {
        std::vector<Lease> leases;
        for (std::size_t index = 0; index + 1 < LeaseTable::inactiveLimit; ++index) {
            auto old = lease("02:00:00:00:00:00", "10.0.1.1", State::released, 0, 100.0 + static_cast<double>(index));
            old.mac.bytes[4] = static_cast<std::uint8_t>(index >> 8);
            old.mac.bytes[5] = static_cast<std::uint8_t>(index);
            leases.push_back(old);
        }
        leases.push_back(lease("02:00:00:00:ff:01", "10.0.9.1", State::bound, 5000, 900));
        LeaseTable table(leases, {});
        ASSERT_EQ(table.makeRoomForNewClient(Date{1000}), std::nullopt) << c.name;
        c.change(table);
        auto evicted = table.makeRoomForNewClient(c.at);
        EXPECT_EQ(evicted.has_value(), c.evicts) << c.name;
        if (evicted) {
            EXPECT_EQ(evicted->mac, leases.front().mac) << c.name;
        }
    }
}

}  // namespace
}  // namespace anvil
