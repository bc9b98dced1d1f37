// Reopening the card after an unplug while opening takes seconds, as it does through the
// privilege helper: the server keeps answering, and a stop does not wait for the opening.
#include <gtest/gtest.h>

#include <condition_variable>

#include "server_harness.hpp"

using namespace anvil;
using namespace anvil::testing;

namespace {

// Openings wait here, once held, until the test lets them go (or ten seconds pass).
struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool holding = false;
    bool released = false;
    int started = 0;
    int finished = 0;

    void pass() {
        std::unique_lock lock(mutex);
        if (!holding) return;
        ++started;
        changed.notify_all();
        changed.wait_for(lock, std::chrono::seconds(10), [this] { return released; });
        ++finished;
    }

    template <typename Change>
    void change(Change change) {
        std::lock_guard lock(mutex);
        change(*this);
        changed.notify_all();
    }

    template <typename Read>
    auto read(Read read) {
        std::lock_guard lock(mutex);
        return read(*this);
    }
};

class SlowTransport final : public Transport {
public:
    SlowTransport(TransportMode mode, std::shared_ptr<FakeWorld> world, std::shared_ptr<Gate> gate)
        : inner_(std::move(mode), std::move(world)), gate_(std::move(gate)) {}
    void open() override {
        gate_->pass();
        inner_.open();
    }
    std::optional<Datagram> receive() override { return inner_.receive(); }
    void send(const Bytes& bytes, const ReplyDestination& destination) override { inner_.send(bytes, destination); }
    void close() override { inner_.close(); }
    int fd() const override { return inner_.fd(); }
    std::uint32_t interfaceIndex() const override { return inner_.interfaceIndex(); }

private:
    FakeTransport inner_;
    std::shared_ptr<Gate> gate_;
};

const MACAddress deviceA = mac("02:aa:00:00:00:0a");

TEST(CardRun, StopAndRequestsDoNotWaitForAReopenThatTakesSeconds) {
    ServerHarness bench;
    bench.store({storedLease("02:aa:00:00:00:0a", "192.168.0.120", Lease::State::bound, 1'700'000'000 + 100'000)});
    auto gate = std::make_shared<Gate>();
    CardRun::Seams seams{fakeHost(bench.world),
                            [world = bench.world, gate](const TransportMode& mode) -> std::unique_ptr<Transport> {
                                return std::make_unique<SlowTransport>(mode, world, gate);
                            },
                            bench.timers};
    bench.server = std::make_unique<CardRun>(
        CardRun::Options{bench.config, bench.mode, cardMAC, bench.leaseFile(), false}, std::move(seams));
    bench.events = bench.server->events();
    bench.start();
    bench.settled();

    bench.change([](FakeWorld& world) { world.indices.erase("en7"); });
    bench.until([](const ServerEvent& event) {
        auto raised = event.as<ServerEvent::NoticeRaised>();
        return raised && raised->notice.kind == NoticeKind::adapterUnplugged;
    });
    gate->change([](Gate& held) { held.holding = true; });
    bench.change([](FakeWorld& world) {
        world.indices["en8"] = 8;
        world.namesByMAC[cardMAC.description()] = "en8";
        world.media["en8"] = {true, "100baseTX"};
    });
    {
        std::unique_lock lock(gate->mutex);
        ASSERT_TRUE(gate->changed.wait_for(lock, std::chrono::seconds(5), [&gate] { return gate->started > 0; }));
    }

    // The opening is held: whatever returns now did not wait for it.
    EXPECT_EQ(bench.server->currentTable().leases().size(), 1u);
    bench.server->forgetLease(deviceA);
    auto forgotten = bench.untilCase("leaseRemoved");
    EXPECT_EQ(forgotten.back(), ServerEvent::leaseRemoved(deviceA));
    EXPECT_TRUE(bench.stored().leases().empty()) << "the change is on disk";
    // Watch steps go on meanwhile without starting a second opening.
    for (int step = 0; step < 5; ++step) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        bench.settled();
    }
    EXPECT_EQ(gate->read([](Gate& held) { return held.started; }), 1);

    bench.server->stop();
    EXPECT_EQ(gate->read([](Gate& held) { return held.finished; }), 0) << "stop waited for the opening";
    auto stopped = bench.settled();
    ASSERT_FALSE(stopped.empty());
    EXPECT_EQ(stopped.back(), ServerEvent::stopped());
    EXPECT_TRUE(bench.events->isFinished());

    // The late socket is closed and dropped; the stopped server says nothing of it.
    int closesBefore = bench.world->closes;
    gate->change([](Gate& held) { held.released = true; });
    for (int wait = 0; wait < 500; ++wait) {
        {
            std::lock_guard lock(bench.world->mutex);
            if (bench.world->closes > closesBefore) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard lock(bench.world->mutex);
        EXPECT_EQ(bench.world->closes, closesBefore + 1);
        EXPECT_EQ(bench.world->opened.back(), TransportMode::interface("en8"));
    }
    EXPECT_FALSE(bench.events->tryNext());
}

// The helper lets go of a card that stopped being a bench card: serving stops with its reason, and
// the card is opened again once it is accepted, the refusals meanwhile said once.
TEST(CardRun, ACardTheHelperLetGoOfStopsWithTheReasonAndComesBackOnceAccepted) {
    ServerHarness bench;
    bench.start();
    bench.settled();
    const std::string reason =
        "card en7 carries a default route: it is this computer's own connection, not a bench card";
    int attempts = 0;
    bench.change([&](FakeWorld& world) {
        world.relayEnding = reason;
        world.failingOpens.insert("en7");
        attempts = world.openAttempts;
    });
    bench.sendBytes({1});
    auto stopped = bench.untilInfo("Serving on en7 stopped: " + reason);
    ASSERT_FALSE(stopped.empty());
    // Several refused openings (one a second) before the card qualifies again.
    std::vector<ServerEvent> meanwhile;
    for (int round = 0; round < 200; ++round) {
        for (auto& event : bench.settled()) meanwhile.push_back(event);
        bool enough = false;
        bench.change([&](FakeWorld& world) { enough = world.openAttempts >= attempts + 3; });
        if (enough) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    bench.change([](FakeWorld& world) { world.failingOpens.clear(); });
    auto back = bench.untilInfo("en7 is back");
    ASSERT_FALSE(back.empty());
    meanwhile.insert(meanwhile.end(), back.begin(), back.end());
    auto refusal =
        ServerEvent::info("could not reopen en7: " + TransportError("bind 0.0.0.0:67", EADDRINUSE).description());
    EXPECT_EQ(std::count(meanwhile.begin(), meanwhile.end(), refusal), 1) << describe(meanwhile);
}

}  // namespace
