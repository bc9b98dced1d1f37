#include "core/leases/address_choice.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>

#include "lease_builders.hpp"

namespace anvil {
namespace {

using testing::ip;
using testing::lease;
using testing::mac;
using State = Lease::State;

const MACAddress client = mac("aa:aa:aa:aa:aa:aa");
const AddressRange range{ip("10.0.0.10"), ip("10.0.0.14")};
const Date now{1000};

AddressJudgement usableExcept(std::vector<IPv4Address> rejected) {
    return [rejected](IPv4Address candidate) {
        return range.contains(candidate) && std::find(rejected.begin(), rejected.end(), candidate) == rejected.end();
    };
}
const AddressJudgement nobodyOffline = [](IPv4Address) { return false; };
const AddressJudgement everyoneOffline = [](IPv4Address) { return true; };

TEST(ChooseAddress, previousAddressComesBackAfterReleaseEvenWhenAnotherIsRequested) {
    std::vector<Lease> leases = {lease("aa:aa:aa:aa:aa:aa", "10.0.0.13", State::released, 500)};
    EXPECT_EQ(chooseAddress(client, ip("10.0.0.11"), leases, range, usableExcept({}), nobodyOffline, now),
              ip("10.0.0.13"));
}

TEST(ChooseAddress, fallsThroughThePreviousRequestedAndFirstFreeAddressInOrder) {
    struct Case {
        const char* name;
        std::vector<IPv4Address> rejected;
        std::optional<IPv4Address> requested;
        std::vector<Lease> others;
        std::optional<IPv4Address> expected;
    } cases[] = {
        {"previous quarantined: requested", {ip("10.0.0.13")}, ip("10.0.0.12"), {}, ip("10.0.0.12")},
        {"previous quarantined, nothing requested: first free", {ip("10.0.0.13")}, std::nullopt, {}, ip("10.0.0.10")},
        {"previous held by another: requested",
         {},
         ip("10.0.0.12"),
         {lease("00:00:00:00:00:01", "10.0.0.13", State::bound, 2000)},
         ip("10.0.0.12")},
        {"requested held by another: first free",
         {ip("10.0.0.13")},
         ip("10.0.0.12"),
         {lease("00:00:00:00:00:01", "10.0.0.12", State::bound, 2000),
          lease("00:00:00:00:00:02", "10.0.0.10", State::offered, 2000)},
         ip("10.0.0.11")},
        {"requested outside the range: first free", {ip("10.0.0.13")}, ip("10.0.0.99"), {}, ip("10.0.0.10")},
        {"first free skips the server's own address",
         {ip("10.0.0.13"), ip("10.0.0.10")},
         std::nullopt,
         {},
         ip("10.0.0.11")},
        {"addresses carried only by inactive leases are free",
         {ip("10.0.0.13")},
         std::nullopt,
         {lease("00:00:00:00:00:01", "10.0.0.10", State::reclaimed, 2000),
          lease("00:00:00:00:00:02", "10.0.0.10", State::bound, 1000)},
         ip("10.0.0.10")},
    };
    for (const auto& c : cases) {
        std::vector<Lease> leases = c.others;
        leases.push_back(lease("aa:aa:aa:aa:aa:aa", "10.0.0.13", State::released, 500));
        EXPECT_EQ(chooseAddress(client, c.requested, leases, range, usableExcept(c.rejected), nobodyOffline, now),
                  c.expected)
            << c.name;
    }
}

TEST(ChooseAddress, emptyTableGivesTheLowerBound) {
    EXPECT_EQ(chooseAddress(client, std::nullopt, {}, range, usableExcept({}), nobodyOffline, now), ip("10.0.0.10"));
}

TEST(ChooseAddress, fullPoolReclaimsTheLeastRecentlySeenOfflineHolderOrNothing) {
    // lastSeen: .10 → 50, .11 → 30, .12 → 30, .13 → 30 (offered), .14 → 40
    std::vector<Lease> leases = {
        lease("00:00:00:00:00:01", "10.0.0.10", State::bound, 2000, 50),
        lease("00:00:00:00:00:03", "10.0.0.12", State::bound, 2000, 30),
        lease("00:00:00:00:00:02", "10.0.0.11", State::bound, 2000, 30),
        lease("00:00:00:00:00:04", "10.0.0.13", State::offered, 2000, 10),
        lease("00:00:00:00:00:05", "10.0.0.14", State::bound, 2000, 40),
    };
    EXPECT_EQ(chooseAddress(client, std::nullopt, leases, range, usableExcept({}), nobodyOffline, now), std::nullopt);
    EXPECT_EQ(chooseAddress(client, std::nullopt, leases, range, usableExcept({}), everyoneOffline, now),
              ip("10.0.0.13"));
    // The responder never calls an offered holder offline: equal lastSeen falls to the lower address.
    auto boundOffline = [&](IPv4Address candidate) { return candidate != ip("10.0.0.13"); };
    EXPECT_EQ(chooseAddress(client, std::nullopt, leases, range, usableExcept({}), boundOffline, now), ip("10.0.0.11"));
    auto onlyTwo = [&](IPv4Address candidate) { return candidate == ip("10.0.0.10") || candidate == ip("10.0.0.14"); };
    EXPECT_EQ(chooseAddress(client, std::nullopt, leases, range, usableExcept({}), onlyTwo, now), ip("10.0.0.14"));
    // An unusable address is never reclaimed.
    EXPECT_EQ(chooseAddress(client, std::nullopt, leases, range, usableExcept({ip("10.0.0.14")}), onlyTwo, now),
              ip("10.0.0.10"));
}

TEST(ChooseAddress, rangeEndingAtTheLastAddressDoesNotWrapAround) {
    AddressRange top{ip("255.255.255.254"), ip("255.255.255.255")};
    std::vector<Lease> leases = {lease("00:00:00:00:00:01", "255.255.255.254", State::bound, 2000),
                                 lease("00:00:00:00:00:02", "255.255.255.255", State::bound, 2000)};
    auto usable = [&](IPv4Address candidate) { return top.contains(candidate); };
    EXPECT_EQ(chooseAddress(client, std::nullopt, leases, top, usable, nobodyOffline, now), std::nullopt);
}

TEST(IsAvailable, needsAUsableAddressNotHeldByAnotherClient) {
    std::vector<Lease> leases = {lease("aa:aa:aa:aa:aa:aa", "10.0.0.10", State::bound, 2000),
                                 lease("00:00:00:00:00:01", "10.0.0.11", State::bound, 2000),
                                 lease("00:00:00:00:00:02", "10.0.0.12", State::released, 2000)};
    auto usable = usableExcept({ip("10.0.0.13")});
    EXPECT_TRUE(isAvailable(ip("10.0.0.10"), client, leases, usable, now));
    EXPECT_FALSE(isAvailable(ip("10.0.0.11"), client, leases, usable, now));
    EXPECT_TRUE(isAvailable(ip("10.0.0.12"), client, leases, usable, now));
    EXPECT_FALSE(isAvailable(ip("10.0.0.13"), client, leases, usable, now));
}

// The rule written out as plainly as possible: every address check scans the whole table.
std::optional<IPv4Address> referenceChoice(const MACAddress& who, std::optional<IPv4Address> requested,
                                           const std::vector<Lease>& leases, AddressRange pool,
                                           const AddressJudgement& isUsable, const AddressJudgement& holderIsOffline,
                                           Date at) {
    auto holder = [&](IPv4Address address) -> const Lease* {
        for (const auto& entry : leases)
            if (entry.ip == address && entry.holdsAddress(at)) return &entry;
        return nullptr;
    };
    auto freeFor = [&](IPv4Address address) {
        auto found = holder(address);
        return found == nullptr || found->mac == who;
    };
    for (const auto& entry : leases) {
        if (entry.mac != who) continue;
        if (isUsable(entry.ip) && freeFor(entry.ip)) return entry.ip;
        break;
    }
    if (requested && isUsable(*requested) && freeFor(*requested)) return requested;
    for (std::uint64_t value = pool.lowerBound.value; value <= pool.upperBound.value; ++value) {
        IPv4Address address{static_cast<std::uint32_t>(value)};
        if (isUsable(address) && freeFor(address)) return address;
    }
    std::vector<const Lease*> candidates;
    for (const auto& entry : leases)
        if (entry.mac != who && entry.holdsAddress(at) && isUsable(entry.ip) && holderIsOffline(entry.ip))
            candidates.push_back(&entry);
    if (candidates.empty()) return std::nullopt;
    std::stable_sort(candidates.begin(), candidates.end(), [](const Lease* left, const Lease* right) {
        if (left->lastSeen != right->lastSeen) return left->lastSeen < right->lastSeen;
        return left->ip < right->ip;
    });
    return candidates.front()->ip;
}

TEST(ChooseAddress, agreesWithAPlainScanOnRandomTables) {
    const std::uint32_t seed = 20250102;
    std::printf("random tables seed: %u\n", seed);
    ::testing::Test::RecordProperty("seed", static_cast<int>(seed));
    std::mt19937 random(seed);
    auto pick = [&](int lowest, int highest) { return std::uniform_int_distribution<int>(lowest, highest)(random); };
    const State states[] = {State::offered, State::bound, State::released, State::reclaimed};
    auto macNumber = [](int number) { return MACAddress{{0x02, 0, 0, 0, 0, static_cast<std::uint8_t>(number)}}; };
    for (int round = 0; round < 3000; ++round) {
        const std::uint32_t base = 0x0A000000u + static_cast<std::uint32_t>(pick(0, 3)) * 0xFF00u;
        AddressRange pool{IPv4Address{base + static_cast<std::uint32_t>(pick(0, 3))},
                          IPv4Address{base + static_cast<std::uint32_t>(pick(0, 12))}};
        std::vector<Lease> leases;
        // Few clients and addresses, so that repeats, shared addresses and full pools all occur.
        int count = pick(0, 40);
        for (int index = 0; index < count; ++index) {
            Lease entry{macNumber(pick(0, 12)),
                        IPv4Address{base + static_cast<std::uint32_t>(pick(0, 14))},
                        states[pick(0, 5) % 4],
                        Date{static_cast<double>(pick(995, 1010))},
                        std::nullopt,
                        std::nullopt,
                        std::nullopt,
                        Date{0},
                        Date{static_cast<double>(pick(0, 5))}};
            leases.push_back(entry);
        }
        const MACAddress who = macNumber(pick(0, 12));
        std::optional<IPv4Address> requested;
        if (pick(0, 1)) requested = IPv4Address{base + static_cast<std::uint32_t>(pick(0, 14))};
        const std::uint32_t unusableMask = static_cast<std::uint32_t>(random());
        const std::uint32_t offlineMask = static_cast<std::uint32_t>(random());
        const bool sparse = pick(0, 1);
        AddressJudgement isUsable = [&](IPv4Address address) {
            if (!pool.contains(address)) return false;
            return !sparse || ((unusableMask >> (address.value % 32)) & 1) == 0;
        };
        AddressJudgement holderIsOffline = [&](IPv4Address address) {
            return ((offlineMask >> (address.value % 32)) & 1);
        };
        const Date at{1000};
        auto expected = referenceChoice(who, requested, leases, pool, isUsable, holderIsOffline, at);
        auto chosen = chooseAddress(who, requested, leases, pool, isUsable, holderIsOffline, at);
        ASSERT_EQ(chosen, expected) << "seed " << seed << ", round " << round;
    }
}

// The table as a server keeps it: changed one lease at a time, removals leaving gaps that are
// closed in bulk, and never read whole between choices.
TEST(ChooseAddress, agreesWithAPlainScanOnATableChangedInPlace) {
    struct Case {
        unsigned seed;
        int clients;
        int steps;
    } cases[] = {{7, 12, 4000}, {8, 300, 4000}, {9, 2000, 6000}};
    const State states[] = {State::offered, State::bound, State::released, State::reclaimed};
    auto macNumber = [](int number) {
        return MACAddress{{0x02, 0, 0, 0, static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)}};
    };
    for (const auto& c : cases) {
        std::mt19937 random(c.seed);
        auto pick = [&](int lowest, int highest) {
            return std::uniform_int_distribution<int>(lowest, highest)(random);
        };
        const std::uint32_t base = 0x0A000000u;
        // As many addresses as clients: the pool fills, and reclaims are asked for.
        const int addresses = std::max(14, c.clients);
        LeaseTable table;
        std::vector<Lease> plain;
        for (int step = 0; step < c.steps; ++step) {
            auto who = macNumber(pick(0, c.clients - 1));
            auto sameClient = [&](const Lease& entry) { return entry.mac == who; };
            if (pick(0, 2) == 0) {
                table.remove(who);
                if (auto at = std::find_if(plain.begin(), plain.end(), sameClient); at != plain.end()) plain.erase(at);
            } else {
                Lease entry{who,
                            IPv4Address{base + static_cast<std::uint32_t>(pick(0, addresses))},
                            states[pick(0, 5) % 4],
                            Date{static_cast<double>(pick(995, 1010))},
                            std::nullopt,
                            std::nullopt,
                            std::nullopt,
                            Date{0},
                            Date{static_cast<double>(pick(0, 5))}};
                table.upsert(entry);
                if (auto at = std::find_if(plain.begin(), plain.end(), sameClient); at != plain.end())
                    *at = entry;
                else
                    plain.push_back(entry);
            }
            if (step % 7 != 0) continue;
            AddressRange pool{IPv4Address{base + static_cast<std::uint32_t>(pick(0, 3))},
                              IPv4Address{base + static_cast<std::uint32_t>(pick(addresses / 2, addresses))}};
            std::optional<IPv4Address> requested;
            if (pick(0, 1)) requested = IPv4Address{base + static_cast<std::uint32_t>(pick(0, addresses))};
            const std::uint32_t offlineMask = static_cast<std::uint32_t>(random());
            AddressJudgement isUsable = [&](IPv4Address address) { return pool.contains(address); };
            AddressJudgement holderIsOffline = [&](IPv4Address address) {
                return ((offlineMask >> (address.value % 32)) & 1);
            };
            const Date at{static_cast<double>(pick(995, 1010))};
            auto chooser = macNumber(pick(0, c.clients));
            ASSERT_EQ(chooseAddress(chooser, requested, table, pool, isUsable, holderIsOffline, at),
                      referenceChoice(chooser, requested, plain, pool, isUsable, holderIsOffline, at))
                << "seed " << c.seed << ", step " << step;
        }
        ASSERT_EQ(table.leases(), plain) << "seed " << c.seed;
    }
}

// Nearly full pools over time: whole blocks held, leases running out and renewed, addresses shared
// by two leases, the clock set back, the searching client inside a held block. The walk that
// skips blocks must find what a walk asking the holder of every address finds.
TEST(ChooseAddress, firstFreeSkipsOnlyBlocksWhollyHeldByOthers) {
    struct Case {
        unsigned seed;
        std::uint32_t base;
        int addresses;
        int steps;
    } cases[] = {
        {21, 0x0A000000u, 150, 6000},    // two blocks and a bit
        {22, 0x0A000FF0u, 4300, 12000},  // crosses a block of blocks
        {23, 0x0A03FFC0u, 600, 8000},    // crosses a block of 262,144 addresses
    };
    const State states[] = {State::bound, State::bound, State::offered, State::released, State::reclaimed};
    auto macNumber = [](int number) {
        return MACAddress{{0x02, 0, 0, 0, static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)}};
    };
    for (const auto& c : cases) {
        std::mt19937 random(c.seed);
        auto pick = [&](int lowest, int highest) {
            return std::uniform_int_distribution<int>(lowest, highest)(random);
        };
        auto address = [&](int offset) { return IPv4Address{c.base + static_cast<std::uint32_t>(offset)}; };
        LeaseTable table;
        double clock = 1000;
        auto bind = [&](int who, int offset, State state, double expiry) {
            table.upsert(Lease{macNumber(who), address(offset), state, Date{expiry}, std::nullopt, std::nullopt,
                               std::nullopt, Date{0}, Date{clock}});
        };
        for (int who = 0; who < c.addresses; ++who) bind(who, who, State::bound, clock + pick(150, 600));
        for (int step = 0; step < c.steps; ++step) {
            // About 200 s pass while every client is heard from once.
            if (pick(0, c.addresses - 1) < 100) clock += pick(1, 3);
            const int who = pick(0, c.addresses - 1);
            // Mostly renewals, so that blocks stay held; now and then a change that frees or shares.
            switch (int roll = pick(0, 99); roll < 96 ? 0 : roll % 5) {
                case 0: bind(who, who, State::bound, clock + pick(150, 600)); break;
                case 1: bind(who, pick(0, c.addresses - 1), State::offered, clock + pick(-5, 600)); break;
                case 2: bind(who, who, states[pick(3, 4)], clock + pick(150, 600)); break;
                case 3: table.remove(macNumber(who)); break;
                case 4: bind(who, who, State::bound, clock + pick(-5, 5)); break;
            }
            if (step % 5 != 0) continue;
            const Date at{clock + (pick(0, 9) == 0 ? -pick(1, 50) : pick(0, 3))};
            const MACAddress chooser = macNumber(pick(0, 1) ? pick(0, c.addresses - 1) : c.addresses);
            AddressRange pool{address(pick(0, 70)), address(c.addresses - pick(0, 70))};
            // Judgements that turn free addresses down make the walk go deep into held blocks.
            const std::uint32_t rejectedMask = pick(0, 3) == 0 ? static_cast<std::uint32_t>(random()) : 0;
            const IPv4Address lowestAccepted = address(pick(0, 1) ? pick(0, c.addresses) : 0);
            auto accepts = [&](IPv4Address candidate) {
                return lowestAccepted <= candidate && ((rejectedMask >> (candidate.value % 32)) & 1) == 0;
            };
            std::optional<IPv4Address> expected;
            for (auto value = pool.lowerBound.value; value <= pool.upperBound.value && !expected; ++value) {
                auto holder = table.holder(IPv4Address{value}, at);
                if ((!holder || holder->mac == chooser) && accepts(IPv4Address{value})) expected = IPv4Address{value};
            }
            ASSERT_EQ(table.firstFreeAddress(chooser, pool, at, accepts), expected)
                << "seed " << c.seed << ", step " << step;
        }
    }
}

// An address held by two leases: once the block has been walked and found held, the lease that
// held the address longer goes, and the block must be walked again when the other runs out.
TEST(ChooseAddress, sharedAddressLosingItsLongerHolderIsNoLongerSkipped) {
    auto macNumber = [](int number) { return MACAddress{{0x02, 0, 0, 0, 0, static_cast<std::uint8_t>(number)}}; };
    const IPv4Address shared{0x0A000005u};
    struct Case {
        const char* name;
        std::function<void(LeaseTable&)> loseLongerHolder;
    } cases[] = {
        {"removed", [&](LeaseTable& table) { table.remove(macNumber(5)); }},
        {"released",
         [&](LeaseTable& table) {
             auto longer = *table.lease(macNumber(5));
             longer.state = State::released;
             table.upsert(longer);
         }},
        {"moved",
         [&](LeaseTable& table) {
             auto longer = *table.lease(macNumber(5));
             longer.ip = IPv4Address{0x0A000050u};
             table.upsert(longer);
         }},
    };
    const AddressRange pool{IPv4Address{0x0A000000u}, IPv4Address{0x0A00007Fu}};
    auto acceptsAll = [](IPv4Address) { return true; };
    for (const auto& c : cases) {
        LeaseTable table;
        for (int number = 0; number < 64; ++number)
            table.upsert(Lease{macNumber(number), IPv4Address{0x0A000000u + number}, State::bound, Date{2000},
                               std::nullopt, std::nullopt, std::nullopt, Date{0}, Date{0}});
        // Later in table order, so the lease above stays the address's holder.
        table.upsert(Lease{macNumber(200), shared, State::offered, Date{1100}, std::nullopt, std::nullopt, std::nullopt,
                           Date{0}, Date{0}});
        const MACAddress newcomer = macNumber(250);
        EXPECT_EQ(table.firstFreeAddress(newcomer, pool, Date{1000}, acceptsAll), IPv4Address{0x0A000040u}) << c.name;
        // Past the offer's end the block is walked, found held and skipped until 2000 from then on.
        EXPECT_EQ(table.firstFreeAddress(newcomer, pool, Date{1150}, acceptsAll), IPv4Address{0x0A000040u}) << c.name;
        c.loseLongerHolder(table);
        EXPECT_EQ(table.firstFreeAddress(newcomer, pool, Date{1160}, acceptsAll), shared) << c.name;
    }
}

}  // namespace
}  // namespace anvil
