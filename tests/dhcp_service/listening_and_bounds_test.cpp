// The server listens only to devices, and nothing a device sends grows its state without bound.
#include <gtest/gtest.h>

#include "core/run/card_run.hpp"
#include "server_harness.hpp"

using namespace anvil;
using namespace anvil::testing;

namespace {

constexpr double future = 1'700'000'000 + 100'000;

MACAddress madeUp(unsigned index) {
    return MACAddress{{0x06, 0, 0, static_cast<std::uint8_t>(index >> 16), static_cast<std::uint8_t>(index >> 8),
                       static_cast<std::uint8_t>(index)}};
}

// Waits for a few watch steps, so that a change of the host's addresses has been read.
void awaitWatch(ServerHarness& bench) {
    auto reads = [&bench] {
        std::lock_guard lock(bench.world->mutex);
        return bench.world->mediaReads;
    };
    auto seen = reads();
    for (int tries = 0; tries < 300 && reads() < seen + 2; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

TEST(CardRun, DatagramsNotFromADeviceAreDroppedUnread) {
    ServerHarness bench;
    bench.change([](FakeWorld& world) { world.addresses = {{"lo", *Subnet::parse("127.0.0.1/8")}}; });
    bench.start();
    bench.settled();
    // Added while serving: known from the next watch step on.
    bench.change([](FakeWorld& world) { world.addresses.push_back({"en7", *Subnet::parse("192.168.0.1/24")}); });
    awaitWatch(bench);

    struct Case {
        const char* what;
        IPv4Address source;
        std::optional<std::uint16_t> port;
        std::optional<std::string> dropped;
    };
    std::vector<Case> cases{
        {"local program from a high port", ip("192.168.0.1"), 40000, "source port 40000 is not the client port 68"},
        {"local program on the server's address", ip("192.168.0.1"), 68,
         "sent from 192.168.0.1, an address of this computer"},
        {"device from a high port", IPv4Address::zero, 5000, "source port 5000 is not the client port 68"},
        {"device without an address", IPv4Address::zero, std::nullopt, std::nullopt},
        {"device renewing", ip("192.168.0.150"), std::nullopt, std::nullopt},
    };
    std::uint32_t xid = 1;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        bench.change([&c](FakeWorld& world) {
            world.source = c.source;
            world.sourcePort = c.port;
        });
        bench.send(load::discover(madeUp(xid), xid));
        ++xid;
        auto events = bench.until(
            [](const ServerEvent& event) { return event.is<ServerEvent::Sent>() || event.is<ServerEvent::Dropped>(); });
        if (c.dropped) {
            EXPECT_EQ(events, std::vector{ServerEvent::dropped(*c.dropped, std::nullopt)}) << describe(events);
        } else {
            EXPECT_EQ(only(events, "received").size(), 1u) << describe(events);
            EXPECT_TRUE(events.back().is<ServerEvent::Sent>()) << describe(events);
        }
    }
    EXPECT_EQ(bench.server->currentTable().leases().size(), 2u);
}

// Offers nobody came back for leave the table (and the file) when they run out; bound leases,
// expired or not, stay.
TEST(CardRun, OffersThatRunOutAreRemoved) {
    ServerHarness bench;
    bench.timers.offerExpiryInterval = 0.02;
    bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.120", Lease::State::bound, future),
                 storedLease("02:aa:00:00:00:0b", "192.168.0.121", Lease::State::offered, 1'000),
                 storedLease("02:aa:00:00:00:0c", "192.168.0.122", Lease::State::bound, 1'000)});
    bench.start();
    auto started = bench.settled();
    EXPECT_EQ(only(started, "leaseRemoved"), std::vector{ServerEvent::leaseRemoved(mac("02:aa:00:00:00:0b"))})
        << describe(started);

    for (unsigned index = 0; index < 20; ++index) {
        bench.send(load::discover(madeUp(index), index));
        bench.untilCase("sent");
    }
    EXPECT_EQ(bench.server->currentTable().leases().size(), 22u);
    bench.change([](FakeWorld& world) { world.now += 60; });
    std::vector<ServerEvent> removed;
    for (int tries = 0; tries < 20 && removed.size() < 20; ++tries) {
        auto taken = bench.untilCase("leaseRemoved");
        for (const auto& event : only(taken, "leaseRemoved")) removed.push_back(event);
    }
    EXPECT_EQ(removed.size(), 20u);
    auto left = bench.server->currentTable().leases();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[0].mac, mac("02:aa:00:00:00:0a"));
    EXPECT_EQ(left[1].mac, mac("02:aa:00:00:00:0c"));

    bench.server->stop();
    EXPECT_EQ(bench.stored().leases(), left);
}

// With the pool full and its holder's presence unknown, every new device needs that holder
// probed: one probe serves them all, and only so many may wait.
TEST(CardRun, DevicesWaitingForAProbeShareItAndAreBounded) {
    ServerHarness bench;
    bench.presenceEnabled = true;
    bench.config.rangeEnd = bench.config.rangeStart;
    bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.100", Lease::State::bound, future)});
    bench.change([](FakeWorld& world) {
        world.holdProbes = true;
        world.silent.insert(ip("192.168.0.100"));
    });
    bench.start();
    bench.settled();

    constexpr unsigned devices = 80, waitLimit = 64;
    for (unsigned index = 0; index < devices; ++index) bench.send(load::discover(madeUp(index), index));
    // A device asking again takes its own place, not a new one.
    bench.send(load::discover(madeUp(0), 1000));
    std::vector<ServerEvent> events;
    for (int tries = 0; tries < 200 && only(events, "received").size() < devices + 1; ++tries)
        for (const auto& event : bench.settled()) events.push_back(event);
    EXPECT_EQ(only(events, "received").size(), devices + 1);
    EXPECT_EQ(bench.heldProbes(), 1u);
    auto dropped = only(events, "dropped");
    ASSERT_EQ(dropped.size(), devices - waitLimit) << describe(events);
    EXPECT_EQ(dropped[0], ServerEvent::dropped("too many devices waiting for an address", madeUp(waitLimit)));

    // The silent holder loses the address to the first who waited; the rest find the pool empty.
    bench.answerHeld(1);
    auto answered = bench.untilCase("sent");
    EXPECT_EQ(answered.back().as<ServerEvent::Sent>()->reply.mac, madeUp(1));
    auto rest = bench.settled();
    EXPECT_EQ(only(rest, "dropped").size(), waitLimit - 1) << describe(rest);
    EXPECT_EQ(bench.heldProbes(), 0u);
}

}  // namespace
