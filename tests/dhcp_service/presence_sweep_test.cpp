// The presence sweep alone, on a loop the test turns, with a prober whose answers the test gives.
#include "core/dhcp_service/presence_sweep.hpp"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <deque>

#include "tools/client_messages.hpp"

using namespace anvil;

namespace {

IPv4Address ipOf(const char* text) { return *IPv4Address::parse(text); }
MACAddress macOf(const char* text) { return *MACAddress::parse(text); }

const Date now{1'700'000'000};
const MACAddress holder = macOf("02:aa:00:00:00:01");
const MACAddress stranger = macOf("02:ee:00:00:00:09");

Lease boundLease(const MACAddress& mac, const char* ip) {
    return Lease{mac,          ipOf(ip),     Lease::State::bound, now.addingSeconds(3600),
                 std::nullopt, std::nullopt, std::nullopt,        Date{0},
                 Date{0}};
}

// Holds every probe until the test answers it. An answer is posted to the loop and, like one a
// real prober had already queued, still runs after cancelAll.
struct HeldProbes final : AsyncProber {
    struct Probe {
        IPv4Address ip;
        Done done;
    };
    std::deque<Probe> held;
    std::vector<IPv4Address> started;
    int cancels = 0;

    void probe(const std::string&, IPv4Address ip, double, Done done) override {
        started.push_back(ip);
        held.push_back({ip, std::move(done)});
    }
    void cancelAll() override {
        held.clear();
        ++cancels;
    }
    std::size_t openSockets() const override { return 0; }
};

struct Bench {
    asio::io_context loop;
    HeldProbes* probes = nullptr;  // owned by the sweep
    ARPEntries arp;
    Date clock = now;
    std::vector<PresenceSweep::Report> reports;
    PresenceSweep sweep{loop,
                        {[this](asio::io_context&) {
                             auto made = std::make_unique<HeldProbes>();
                             probes = made.get();
                             return made;
                         },
                         [this] { return arp; },
                         [this] { return clock; },
                         {}},
                        [this](PresenceSweep::Report report) { reports.push_back(std::move(report)); }};

    Bench() { sweep.setCard("en7", true); }

    // Answers the oldest held probe of `ip`; the answer runs at the loop's next turn.
    void answer(IPv4Address ip, ProbeResult result) {
        auto found = std::ranges::find(probes->held, ip, &HeldProbes::Probe::ip);
        ASSERT_NE(found, probes->held.end()) << ip.description();
        asio::post(loop, [done = std::move(found->done), result] { done(result); });
        probes->held.erase(found);
    }

    void turn() {
        loop.restart();
        loop.poll();
    }

    std::vector<PresenceSweep::Changed> changes() const {
        std::vector<PresenceSweep::Changed> found;
        for (const auto& report : reports)
            if (auto changed = std::get_if<PresenceSweep::Changed>(&report)) found.push_back(*changed);
        return found;
    }
};

const ProbeResult echo{true, "icmp 0.4 ms"};

TEST(PresenceSweep, JudgesEachAnswerByTheNeighbourTableAndTheLinkAndReportsOnlyChanges) {
    struct Case {
        const char* name;
        ProbeResult result;
        std::optional<MACAddress> neighbour;
        bool linkUp;
        PresenceState expected;
    };
    const std::vector<Case> cases{
        {"answer, no neighbour entry", echo, std::nullopt, true, PresenceState::online},
        {"answer from the holder", echo, holder, true, PresenceState::online},
        {"answer from another card", echo, stranger, true, PresenceState::conflict},
        {"silence, whatever the table holds", ProbeResult::silent(), holder, true, PresenceState::offline},
        {"answer while the link is down", echo, holder, false, PresenceState::offline},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Bench bench;
        auto lease = boundLease(holder, "192.168.0.120");
        if (row.neighbour) bench.arp[lease.ip] = *row.neighbour;
        bench.sweep.sweep({lease}, now);
        bench.sweep.setCard("en7", row.linkUp);
        bench.answer(lease.ip, row.result);
        bench.turn();
        PresenceSweep::Changed expected{lease.ip, holder, row.expected, row.result.detail};
        EXPECT_EQ(bench.changes(), std::vector{expected});
        EXPECT_EQ(bench.sweep.presence().at(lease.ip), row.expected);

        // The same answer again changes nothing and reports nothing.
        bench.sweep.sweep({lease}, now);
        bench.answer(lease.ip, row.result);
        bench.turn();
        EXPECT_EQ(bench.changes().size(), 1u);
    }
}

TEST(PresenceSweep, ReclaimProbesAreBoundedByTheRangeAndDroppedWhenQueuedTooLong) {
    Bench bench;
    bench.sweep.limitReclaims(3);
    auto device = [](std::uint8_t number) { return MACAddress{{0x02, 0xcc, 0, 0, 0, number}}; };
    auto address = [](std::uint8_t number) { return IPv4Address{ipOf("192.168.0.100").value + number}; };
    for (std::uint8_t number = 0; number < 3; ++number)
        EXPECT_EQ(bench.sweep.probeBeforeReclaim(address(number), {load::discover(device(number), 1), {}}),
                  PresenceSweep::Wait::probing);
    EXPECT_EQ(bench.sweep.probeBeforeReclaim(address(3), {load::discover(device(3), 1), {}}),
              PresenceSweep::Wait::refused);
    EXPECT_EQ(bench.sweep.probeBeforeReclaim(address(2), {load::discover(device(3), 1), {}}),
              PresenceSweep::Wait::joined);
    // Each device is kept from the addresses probed for the others, not from its own.
    EXPECT_EQ(bench.sweep.reclaimsForOthersThan(device(0)), (std::unordered_set{address(1), address(2)}));
    EXPECT_EQ(bench.sweep.reclaimsForOthersThan(device(3)), (std::unordered_set{address(0), address(1)}));

    // Reclaims beyond the free slots queue behind the sweep's leases; one queued too long is dropped.
    Bench full;
    std::vector<Lease> leases;
    for (std::uint8_t number = 0; number < 200; ++number)
        leases.push_back(boundLease(holder, ("10.0.1." + std::to_string(number)).c_str()));
    full.sweep.sweep(leases, now);
    for (std::uint8_t number = 0; number < PresenceSweep::reclaimSlots + 1; ++number)
        full.sweep.probeBeforeReclaim(address(number), {load::discover(device(number), 1), {}});
    EXPECT_EQ(full.sweep.probesOut(), PresenceSweep::probeLimit);
    full.clock = now.addingSeconds(ProbeScheduler::staleReclaimSeconds + 1);
    full.answer(address(0), ProbeResult::silent());
    full.turn();
    std::vector<IPv4Address> gaveUp, probed;
    for (const auto& report : full.reports) {
        if (auto dropped = std::get_if<PresenceSweep::GaveUp>(&report)) gaveUp.push_back(dropped->ip);
        if (auto answered = std::get_if<PresenceSweep::Probed>(&report)) probed.push_back(answered->ip);
    }
    EXPECT_EQ(gaveUp, std::vector{address(PresenceSweep::reclaimSlots)});
    EXPECT_EQ(probed, std::vector{address(0)});
    EXPECT_EQ(full.sweep.waiting(), PresenceSweep::reclaimSlots - 1);
}

TEST(PresenceSweep, NothingStartedBeforeCancelIsReportedAfterIt) {
    enum class Moment { probeOut, answerOnItsWay, answerWaitingForTheTable, reclaimOut };
    for (auto moment :
         {Moment::probeOut, Moment::answerOnItsWay, Moment::answerWaitingForTheTable, Moment::reclaimOut}) {
        SCOPED_TRACE(static_cast<int>(moment));
        Bench bench;
        auto lease = boundLease(holder, "192.168.0.120");
        std::vector<AsyncProber::Done> kept;
        if (moment == Moment::reclaimOut) {
            EXPECT_EQ(bench.sweep.probeBeforeReclaim(lease.ip, {load::discover(stranger, 1), {}}),
                      PresenceSweep::Wait::probing);
        } else {
            bench.sweep.sweep({lease}, now);
        }
        // A prober may have queued an answer before it was told to cancel.
        if (moment != Moment::probeOut) kept.push_back(std::move(bench.probes->held.front().done));
        if (moment == Moment::answerWaitingForTheTable) {
            kept.front()(echo);  // the table read that judges it is now queued on the loop
            kept.clear();
        }

        bench.sweep.cancel();
        for (auto& done : kept) done(echo);
        bench.turn();
        EXPECT_TRUE(bench.reports.empty());
        EXPECT_EQ(bench.sweep.waiting(), 0u);
        EXPECT_EQ(bench.probes->cancels, 1);

        // The sweep works again afterwards, the cancelled address included.
        bench.sweep.sweep({lease}, now);
        bench.answer(lease.ip, echo);
        bench.turn();
        EXPECT_EQ(bench.changes().size(), 1u);
    }
}

TEST(PresenceSweep, DevicesWaitingForOneAddressShareItsProbeUpToTheWaiterLimit) {
    Bench bench;
    auto wanted = ipOf("192.168.0.150");
    auto device = [](std::size_t number) {
        return MACAddress{
            {0x02, 0xcc, 0, 0, static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)}};
    };
    std::unordered_map<IPv4Address, bool> earlier{{ipOf("192.168.0.149"), false}};

    EXPECT_EQ(bench.sweep.probeBeforeReclaim(wanted, {load::discover(device(0), 1), earlier}),
              PresenceSweep::Wait::probing);
    // The same device asking again takes its old place's turn, not a second one.
    EXPECT_EQ(bench.sweep.probeBeforeReclaim(wanted, {load::discover(device(0), 2), earlier}),
              PresenceSweep::Wait::joined);
    for (std::size_t number = 1; number < PresenceSweep::reclaimWaitLimit; ++number)
        EXPECT_EQ(bench.sweep.probeBeforeReclaim(wanted, {load::discover(device(number), 1), {}}),
                  PresenceSweep::Wait::joined);
    EXPECT_EQ(bench.sweep.waiting(), PresenceSweep::reclaimWaitLimit);
    EXPECT_EQ(bench.sweep.probeBeforeReclaim(ipOf("192.168.0.151"), {load::discover(device(900), 1), {}}),
              PresenceSweep::Wait::refused);
    EXPECT_EQ(bench.probes->started, std::vector{wanted});

    bench.answer(wanted, echo);
    bench.turn();
    ASSERT_EQ(bench.reports.size(), 1u);
    auto probed = std::get_if<PresenceSweep::Probed>(&bench.reports.front());
    ASSERT_TRUE(probed);
    EXPECT_EQ(probed->ip, wanted);
    ASSERT_EQ(probed->waiters.size(), PresenceSweep::reclaimWaitLimit);
    for (const auto& waiter : probed->waiters) {
        if (waiter.packet.mac() != device(0)) {
            EXPECT_EQ(waiter.probes, (std::unordered_map<IPv4Address, bool>{{wanted, true}}));
            continue;
        }
        EXPECT_EQ(waiter.packet.xid, 2u) << "the later wait replaced the earlier";
        EXPECT_EQ(waiter.probes,
                  (std::unordered_map<IPv4Address, bool>{{ipOf("192.168.0.149"), false}, {wanted, true}}));
    }
    EXPECT_EQ(bench.sweep.presence().at(wanted), PresenceState::online);
    EXPECT_EQ(bench.sweep.waiting(), 0u);
    EXPECT_EQ(bench.sweep.probesOut(), 0u);
}

}  // namespace
