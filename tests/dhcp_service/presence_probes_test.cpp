// Probes at scale through a held fake prober: how many are out at once, what goes first, and
// that stopping drops them all.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <csignal>
#include <map>
#include <set>
#include <unordered_set>

#include "core/leases/journal_format.hpp"
#include "core/leases/lease_disk.hpp"
#include "server_harness.hpp"

using namespace anvil;
using namespace anvil::testing;

namespace {

constexpr double future = 1'700'000'000 + 100'000;
constexpr std::size_t leaseCount = 300;
// What the server lets the sweep have out at once: 256 sockets, one for ICMP and two per probe,
// with eight probes kept back for reclaims.
constexpr std::size_t sweepSlots = 119;

const IPv4Address firstLeased = ip("10.0.0.10");

// A range of exactly `count` addresses, every one held by a bound lease whose device is gone.
void fillWithSilentDevices(ServerHarness& bench, std::size_t count = leaseCount) {
    bench.config = ServerConfig{
        ip("10.0.0.1"), 22, firstLeased, IPv4Address{firstLeased.value + static_cast<std::uint32_t>(count) - 1}, 3600,
        std::nullopt,   {}, std::nullopt};
    bench.presenceEnabled = true;
    std::vector<Lease> leases;
    for (std::uint32_t i = 0; i < count; ++i) {
        MACAddress device{{0x02, 0xbb, 0, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}};
        IPv4Address address{firstLeased.value + i};
        leases.push_back(Lease{device, address, Lease::State::bound, Date{future}, std::nullopt, std::nullopt,
                               std::nullopt, Date{0}, Date{0}});
        bench.world->silent.insert(address);
    }
    bench.store(std::move(leases));
    bench.world->holdProbes = true;
}

std::size_t probedCount(ServerHarness& bench) {
    std::lock_guard lock(bench.world->mutex);
    return bench.world->probed.size();
}

TEST(PresenceProbes, SweepOfHundredsOfSilentLeasesIsBoundedAndNeverOverlapsItself) {
    ServerHarness bench;
    fillWithSilentDevices(bench);
    bench.start();
    bench.settled();

    bench.server->refreshPresence();
    bench.settled();
    EXPECT_EQ(bench.heldProbes(), sweepSlots);
    // A second cycle while the first is out adds no probe of an address already being probed.
    bench.server->refreshPresence();
    bench.settled();
    EXPECT_EQ(probedCount(bench), sweepSlots);

    std::map<IPv4Address, int> offline;
    for (int round = 0; round < 10 && bench.heldProbes() > 0; ++round) {
        EXPECT_LE(bench.heldProbes(), sweepSlots);
        bench.answerHeld(sweepSlots);
        for (const auto& event : only(bench.settled(), "presence")) {
            auto judged = event.as<ServerEvent::Presence>();
            EXPECT_EQ(judged->state, PresenceState::offline);
            EXPECT_EQ(judged->detail, "no answer");
            ++offline[judged->ip];
        }
    }
    EXPECT_EQ(offline.size(), leaseCount);
    for (const auto& [address, times] : offline) EXPECT_EQ(times, 1) << address.description();
    EXPECT_EQ(probedCount(bench), leaseCount);
}

TEST(PresenceProbes, ReclaimForAWaitingDeviceStartsAheadOfTheSweep) {
    ServerHarness bench;
    fillWithSilentDevices(bench);
    bench.start();
    bench.settled();
    bench.server->refreshPresence();
    bench.settled();
    ASSERT_EQ(bench.heldProbes(), sweepSlots);

    const MACAddress newcomer = mac("02:cc:00:00:00:01");
    bench.send(load::discover(newcomer, 41));
    bench.until([](const ServerEvent& event) {
        auto info = event.as<ServerEvent::Info>();
        return info && info->text.starts_with("probing ");
    });
    bench.settled();
    // Started at once, while every sweep probe is still out and the rest of the sweep waits.
    ASSERT_EQ(bench.heldProbes(), sweepSlots + 1);
    IPv4Address reclaimed = bench.world->probed.back();

    bench.answerLatestProbeOf(reclaimed);
    auto events = bench.untilCase("sent");
    auto sent = events.back().as<ServerEvent::Sent>();
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->reply.type, DHCPMessageType::offer);
    EXPECT_EQ(sent->reply.mac, newcomer);
    EXPECT_EQ(sent->reply.ip, reclaimed);
    EXPECT_EQ(bench.heldProbes(), sweepSlots);
}

TEST(PresenceProbes, DevicesAskingTogetherIntoAFullPoolAreGivenDistinctAddressesAfterOneProbeRound) {
    struct Case {
        const char* name;
        std::size_t devices;
        int asks;  // DISCOVERs per device, the later ones while its probe is out
        std::size_t exhausted;
    };
    constexpr std::size_t pool = 20;
    const std::vector<Case> cases{
        {"as many devices as gone holders", pool, 1, 0},
        {"each device asking again meanwhile", pool, 2, 0},
        {"more devices than the range holds", pool + 5, 1, 5},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        ServerHarness bench;
        fillWithSilentDevices(bench, pool);
        bench.start();
        bench.settled();
        auto device = [](std::size_t number) {
            return MACAddress{{0x02, 0xcc, 0, 0, 1, static_cast<std::uint8_t>(number)}};
        };
        for (int ask = 0; ask < row.asks; ++ask)
            for (std::size_t number = 0; number < row.devices; ++number)
                bench.send(load::discover(device(number), static_cast<std::uint32_t>(1000 * ask + number)));
        std::size_t received = 0;
        auto events = bench.until([&received, &row](const ServerEvent& event) {
            return event.is<ServerEvent::Received>() && ++received == row.devices * static_cast<std::size_t>(row.asks);
        });
        for (const auto& event : bench.settled()) events.push_back(event);

        // One probe per gone holder, all out at once, none of them twice.
        std::set<IPv4Address> probed;
        {
            std::lock_guard lock(bench.world->mutex);
            probed.insert(bench.world->probed.begin(), bench.world->probed.end());
            EXPECT_EQ(bench.world->probed.size(), pool);
        }
        EXPECT_EQ(probed.size(), pool);
        EXPECT_EQ(bench.heldProbes(), pool);

        bench.answerHeld(pool);
        std::size_t offers = 0;
        for (const auto& event : bench.until(
                 [&offers](const ServerEvent& event) { return event.is<ServerEvent::Sent>() && ++offers == pool; }))
            events.push_back(event);
        for (const auto& event : bench.settled()) events.push_back(event);

        std::set<IPv4Address> offered;
        std::unordered_set<MACAddress> answered;
        for (const auto& event : only(events, "sent")) {
            auto reply = event.as<ServerEvent::Sent>()->reply;
            EXPECT_EQ(reply.type, DHCPMessageType::offer);
            offered.insert(reply.ip);
            answered.insert(reply.mac);
        }
        EXPECT_EQ(offered, probed) << describe(events);
        EXPECT_EQ(answered.size(), pool);
        std::size_t exhausted = 0;
        for (const auto& event : only(events, "dropped"))
            exhausted += event.as<ServerEvent::Dropped>()->reason == "address pool exhausted";
        EXPECT_EQ(exhausted, row.exhausted) << describe(events);
        EXPECT_EQ(probedCount(bench), pool) << "no second probe round";
    }
}

TEST(PresenceProbes, SweepAnswerAboutAFormerHolderIsNotShownForTheNewOne) {
    ServerHarness bench;
    bench.presenceEnabled = true;
    bench.start();
    bench.settled();
    const MACAddress former = mac("02:aa:00:00:00:01");
    const MACAddress next = mac("02:aa:00:00:00:02");
    const MACAddress staying = mac("02:aa:00:00:00:03");
    auto address = bench.bind(former, 10);
    auto kept = bench.bind(staying, 40);
    bench.change([](FakeWorld& world) { world.holdProbes = true; });
    bench.server->refreshPresence();
    bench.settled();
    ASSERT_EQ(bench.heldProbes(), 2u);

    // While the sweep's probes are out one address changes hands, and its new holder answers.
    bench.send(load::release(former, 20, address, bench.config.serverIP));
    bench.send(load::discover(next, 30));
    auto offer = bench.untilCase("sent").back().as<ServerEvent::Sent>()->reply;
    ASSERT_EQ(offer.ip, address);
    bench.change([&](FakeWorld& world) { world.arp[address] = next; });
    bench.answerHeld(2);
    // Both answers are judged together: the one still held shows that the judging happened.
    auto events = bench.untilCase("presence");
    for (const auto& event : bench.settled()) events.push_back(event);
    auto shown = only(events, "presence");
    ASSERT_EQ(shown.size(), 1u) << describe(events);
    EXPECT_EQ(shown.front().as<ServerEvent::Presence>()->ip, kept);
    EXPECT_EQ(shown.front().as<ServerEvent::Presence>()->state, PresenceState::online);
}

TEST(PresenceProbes, StopWhileProbesAreOutCancelsThemAndEndsAtOnce) {
    ServerHarness bench;
    fillWithSilentDevices(bench);
    bench.start();
    bench.settled();
    bench.server->refreshPresence();
    bench.send(load::discover(mac("02:cc:00:00:00:02"), 42));
    bench.until([](const ServerEvent& event) { return event.is<ServerEvent::Info>(); });
    bench.settled();
    ASSERT_EQ(bench.heldProbes(), sweepSlots + 1);

    bench.server->stop();
    auto events = bench.settled();
    ASSERT_FALSE(events.empty());
    EXPECT_TRUE(events.back().is<ServerEvent::Stopped>()) << describe(events);
    EXPECT_TRUE(only(events, "presence").empty()) << describe(events);
    EXPECT_TRUE(only(events, "sent").empty()) << describe(events);
    EXPECT_EQ(bench.heldProbes(), 0u);
    EXPECT_GE(bench.world->probeCancels, 1);
    EXPECT_TRUE(bench.events->isFinished());
    bench.server.reset();  // the destructor waits for no probe
}

bool raisedKind(const ServerEvent& event, NoticeKind kind) {
    auto raised = event.as<ServerEvent::NoticeRaised>();
    return raised && raised->notice.kind == kind;
}

// DISCOVER and REQUEST for device 02:dd:…:number; every event up to its ACK.
std::vector<ServerEvent> bindCollecting(ServerHarness& bench, std::uint8_t number) {
    MACAddress device{{0x02, 0xdd, 0, 0, 0, number}};
    bench.send(load::discover(device, 100u * number));
    auto events = bench.untilCase("sent");
    auto offer = events.back().as<ServerEvent::Sent>()->reply;
    bench.send(load::selectingRequest(device, 100u * number + 1, offer.ip, bench.config.serverIP));
    auto more = bench.untilCase("sent");
    EXPECT_EQ(more.back().as<ServerEvent::Sent>()->reply.type, DHCPMessageType::ack);
    events.insert(events.end(), more.begin(), more.end());
    return events;
}

TEST(CardRun, SaveFailingMidRunRaisesEachTimeAndClearsAtTheFirstGoodSave) {
    ServerHarness bench;
    bench.start();
    bench.settled();
    bindCollecting(bench, 1);

    // A file size limit where the journal's writes end makes every flush fail, for root too, as a
    // full disk does. The file itself is longer: it is allocated ahead.
    auto journal = LeaseDisk::read(bench.leaseFile().journalURL());
    ASSERT_TRUE(journal);
    auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit full = saved;
    full.rlim_cur = JournalFormat::scan(*journal).validLength;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    int raises = 0;
    for (std::uint8_t device = 2; device <= 3; ++device) {
        for (const auto& event : bindCollecting(bench, device))
            raises += raisedKind(event, NoticeKind::leaseSaveFailed);
        EXPECT_GE(raises, device - 1) << "a raise at each failing save";
    }

    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousSignal);
    auto events = bindCollecting(bench, 4);
    EXPECT_EQ(only(events, "noticeCleared").size(), 1u) << describe(events);
    bench.server->stop();
    EXPECT_EQ(bench.stored().leases().size(), 4u);
    EXPECT_EQ(bench.world->sentSizes.size(), 8u) << "every offer and ack went out";
}

}  // namespace
