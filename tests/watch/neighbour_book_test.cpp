#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/watch/neighbour_advice.hpp"
#include "core/watch/neighbour_book.hpp"
#include "frame_bytes.hpp"

namespace anvil {
namespace {

using namespace frame_bytes;

WatchedFrame parsed(const Frame& bytes) {
    auto result = parseWatchedFrame(bytes);
    EXPECT_TRUE(std::holds_alternative<WatchedFrame>(result));
    if (auto* frame = std::get_if<WatchedFrame>(&result)) return *frame;
    return ARPFrame{};
}

Frame lldpNamed(const MACAddress& source, std::string_view name, unsigned ttl = 120) {
    return lldp(source, chassisMAC(source) + portText("p1") + ttlTLV(ttl) + textTLV(5, name) + endTLV);
}

TEST(NeighbourBook, turnsFrameSequencesIntoUpdates) {
    struct Step {
        Frame frame;
        std::optional<NeighbourChange> expected;
        bool holdsLease = false;
    };
    struct Case {
        std::string name;
        std::vector<Step> steps;
        // What the book keeps of the device afterwards; none when it holds nothing.
        std::optional<std::vector<IPv4Address>> claims;
        std::vector<AskedAddress> asks = {};
    };
    const auto device = mac(1);
    const auto own = mac(0x99);
    const IPv4Address a{192, 168, 1, 1}, b{192, 168, 1, 2}, loader{192, 168, 0, 66}, zero = IPv4Address::zero;
    using enum NeighbourChange;
    std::vector<Step> manyClaims;
    std::vector<IPv4Address> newestClaims;
    for (std::uint8_t i = 1; i <= 10; ++i) {
        manyClaims.push_back({arp(device, {10, 0, 0, i}, {10, 0, 0, i}), i == 1 ? seen : changed});
        if (i > 2) newestClaims.push_back({10, 0, 0, i});
    }
    const std::vector<Case> cases{
        {"who-has counted, news when it reaches the recovery count",
         {{arp(device, a, loader), seen}, {arp(device, a, loader), {}}, {arp(device, a, loader), changed},
          {arp(device, a, loader), {}}, {arp(device, a, loader), {}}},
         std::vector{a},
         {{loader, recoveryAskCount}}},
        {"another target is news", {{arp(device, a, loader), seen}, {arp(device, a, b), changed}}, std::vector{a},
         {{loader, 1}, {b, 1}}},
        {"gratuitous claims but asks nothing", {{arp(device, a, a), seen}, {arp(device, a, a, false), {}}},
         std::vector{a}},
        {"probe only marks it seen", {{arp(device, zero, a), seen}, {arp(device, zero, a), {}}},
         std::vector<IPv4Address>{}},
        {"reply claims the sender", {{arp(device, a, b, false), seen}, {arp(device, b, a, false), changed}},
         std::vector{a, b}},
        {"repeated claim moves to newest quietly", {{arp(device, a, a), seen}, {arp(device, b, b), changed}, {arp(device, a, a), {}}},
         std::vector{b, a}},
        {"non-unicast senders claim nothing",
         {{arp(device, IPv4Address::broadcast, a), seen}, {arp(device, {224, 0, 0, 1}, a), {}},
          {arp(device, {127, 0, 0, 1}, a), {}}, {arp(device, b, {224, 0, 0, 9}), changed}},
         std::vector{b}},
        {"own frames ignored", {{arp(own, a, loader), {}}, {lldpNamed(own, "me"), {}}}, std::nullopt},
        {"LLDP identity and its changes",
         {{lldpNamed(device, "cam"), seen}, {lldpNamed(device, "cam"), {}}, {lldpNamed(device, "cam-2"), changed}},
         std::vector<IPv4Address>{}},
        {"LLDP TTL 0 removes it", {{arp(device, a, a), seen}, {lldpNamed(device, "cam"), changed},
          {lldpNamed(device, "cam", 0), gone}}, std::nullopt},
        {"LLDP TTL 0 with another chassis is forged", {{lldpNamed(device, "cam"), seen},
          {lldp(device, chassisMAC(mac(7)) + portText("p1") + ttlTLV(0) + endTLV), {}}}, std::vector<IPv4Address>{}},
        {"LLDP TTL 0 for a device that never spoke LLDP is forged",
         {{arp(device, a, a), seen}, {lldpNamed(device, "cam", 0), {}}}, std::vector{a}},
        {"LLDP TTL 0 from a stranger", {{lldpNamed(device, "cam", 0), {}}}, std::nullopt},
        {"TFTP read claims the client",
         {{tftpRead(device, "a.bin"), seen}, {tftpRead(device, "a.bin"), {}}, {tftpRead(device, "b.bin"), changed}},
         std::vector{IPv4Address{192, 168, 0, 86}}},
        {"lease flag flips", {{arp(device, a, a), seen}, {arp(device, a, a), changed, true}, {arp(device, a, a), {}, true},
          {arp(device, a, a), changed, false}},
         std::vector{a}},
        {"claims bounded, newest kept", manyClaims, newestClaims},
    };
    for (const auto& c : cases) {
        NeighbourBook book;
        double t = 1000;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const auto& step = c.steps[i];
            NeighbourContext context;
            context.ownMAC = own;
            context.holdsLease = [&](const MACAddress&) { return step.holdsLease; };
            context.maker = [](const MACAddress&) { return std::optional<std::string>("Maker"); };
            auto update = book.observe(parsed(step.frame), Date{t += 1}, context);
            EXPECT_EQ(update ? std::optional(update->change) : std::nullopt, step.expected) << c.name << " step " << i;
            if (update && update->change != gone) {
                EXPECT_EQ(update->neighbour, *book.find(device)) << c.name;
            }
        }
        const auto* kept = book.find(device);
        ASSERT_EQ(kept != nullptr, c.claims.has_value()) << c.name;
        if (!kept) continue;
        EXPECT_EQ(kept->claims, *c.claims) << c.name;
        EXPECT_EQ(kept->asksFor, c.asks) << c.name;
        EXPECT_EQ(kept->maker, "Maker") << c.name;
        EXPECT_EQ(kept->firstSeen, Date{1001}) << c.name;
        EXPECT_EQ(kept->lastSeen, Date{t}) << c.name;
        EXPECT_EQ(book.find(own), nullptr) << c.name;
        for (auto claim : *c.claims) EXPECT_TRUE(book.isClaimed(claim)) << c.name;
    }
}

TEST(NeighbourBook, forgetsTheQuietestWhenFullAndExpiresQuietDevices) {
    NeighbourBook book;
    NeighbourContext context;
    // Device 0 is heard again last, so device 1 is the quietest when the book fills.
    for (std::size_t i = 0; i < NeighbourBook::capacity; ++i) {
        MACAddress device{{0x02, 0, 0, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}};
        book.observe(parsed(arp(device, {10, 0, 0, 1}, {10, 0, 0, 1})), Date{static_cast<double>(i)}, context);
    }
    MACAddress first{{0x02, 0, 0, 0, 0, 0}}, second{{0x02, 0, 0, 0, 0, 1}};
    book.observe(parsed(arp(first, {10, 0, 0, 1}, {10, 0, 0, 1})), Date{1000}, context);
    auto update = book.observe(parsed(arp(mac(7), {10, 0, 0, 7}, {10, 0, 0, 7})), Date{1001}, context);
    ASSERT_TRUE(update);
    EXPECT_EQ(update->change, NeighbourChange::seen);
    EXPECT_EQ(book.neighbours().size(), NeighbourBook::capacity);
    EXPECT_EQ(book.find(second), nullptr);
    EXPECT_NE(book.find(first), nullptr);

    EXPECT_FALSE(book.leaseChanged(mac(7), false));
    EXPECT_EQ(book.leaseChanged(mac(7), true)->change, NeighbourChange::changed);
    EXPECT_FALSE(book.leaseChanged(mac(8), true));

    // Everything but the two heard at 1000 and 1001 has been quiet for quietSeconds by then.
    auto gone = book.expire(Date{1000 + NeighbourBook::quietSeconds - 1});
    EXPECT_EQ(gone.size(), NeighbourBook::capacity - 2);
    for (const auto& each : gone) EXPECT_EQ(each.change, NeighbourChange::gone);
    gone = book.expire(Date{1000 + NeighbourBook::quietSeconds});
    ASSERT_EQ(gone.size(), 1u);
    EXPECT_EQ(gone[0].neighbour.mac, first);
    EXPECT_EQ(book.neighbours().size(), 1u);
    EXPECT_TRUE(book.expire(Date{1000}).empty());
}

}  // namespace
}  // namespace anvil
