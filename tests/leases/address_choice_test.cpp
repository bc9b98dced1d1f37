#include "core/leases/address_choice.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
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

}  // namespace
}  // namespace anvil
