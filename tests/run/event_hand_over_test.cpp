#include "core/run/event_hand_over.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/state/anvil_state.hpp"

using namespace anvil;

namespace {

MACAddress macNumber(int n) {
    return MACAddress{{0x02, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)}};
}

RunEvent item(ServerEvent event) {
    Date at{1'700'000'000};
    auto line = event.is<ServerEvent::NoticeCleared>() ? std::nullopt : std::optional<std::string>("line");
    return {std::move(event), at, line};
}

Lease leaseOf(int n, Lease::State state) {
    Lease lease;
    lease.mac = macNumber(n);
    lease.ip = IPv4Address{192, 168, 0, static_cast<std::uint8_t>(100 + n % 100)};
    lease.state = state;
    return lease;
}

SentSummary ack(const Lease& lease) {
    SentSummary summary;
    summary.type = DHCPMessageType::ack;
    summary.ip = lease.ip;
    summary.mac = lease.mac;
    return summary;
}

}  // namespace

// A reader that stopped reading: the buffer keeps to its bound however much arrives, the lines
// beyond it are counted in one text where they went missing, and the latest state of every
// subject still arrives.
TEST(EventHandOver, AStalledReaderCostsABoundAndLearnsWhatItMissed) {
    for (bool logFile : {true, false}) {
        constexpr std::size_t bound = 2000;
        constexpr int devices = 30;
        EventHandOver handOver(logFile, bound);
        std::size_t lines = 0;
        auto push = [&](ServerEvent event) {
            auto pushed = item(std::move(event));
            if (pushed.line) ++lines;
            handOver.push(std::move(pushed));
        };
        for (int i = 0; i < 100'000; ++i) {
            push(ServerEvent::info("flood " + std::to_string(i)));
            if (i % 1000 == 0) {
                // Every device's lease changes many times; its last state must survive.
                push(ServerEvent::leaseChanged(leaseOf((i / 1000) % devices, Lease::State::offered)));
                push(ServerEvent::noticeRaised(Notice::linkDown("en" + std::to_string(i))));
            }
            ASSERT_LE(handOver.size(), bound + devices + 2) << i;
        }
        for (int device = 0; device < devices; ++device)
            push(ServerEvent::leaseChanged(leaseOf(device, Lease::State::bound)));
        push(ServerEvent::noticeCleared(NoticeKind::linkDown));
        push(ServerEvent::stopped());

        auto taken = handOver.take();
        std::size_t shown = 0;
        std::vector<std::string> missed;
        for (const auto& event : taken) {
            const auto* info = event.event.as<ServerEvent::Info>();
            if (info && info->text.starts_with("\u2026")) {
                missed.push_back(info->text);
                ASSERT_TRUE(event.line);
                EXPECT_NE(event.line->find("INFO"), std::string::npos);
            } else if (event.line) {
                ++shown;
            }
        }
        ASSERT_EQ(missed.size(), 1u) << "one count, where the lines went missing";
        std::size_t count = lines - shown;
        EXPECT_EQ(missed.front(),
                  "\u2026 " + std::to_string(count) + " lines not shown" + (logFile ? "; the log file has them" : ""));
        EXPECT_GT(count, 90'000u);
        EXPECT_EQ(taken.front().event, ServerEvent::info("flood 0")) << "the lines kept are the first ones";

        AnvilState state;
        for (const auto& event : taken) state.apply(event.event, event.at);
        ASSERT_EQ(state.leases.size(), static_cast<std::size_t>(devices));
        for (const auto& [mac, lease] : state.leases) EXPECT_EQ(lease.state, Lease::State::bound) << mac.description();
        EXPECT_TRUE(state.notices.empty());
        EXPECT_EQ(taken.back().event, ServerEvent::stopped());

        // Reading again starts afresh: nothing missed, nothing waiting.
        push(ServerEvent::info("after"));
        auto next = handOver.takeReady();
        ASSERT_EQ(next.size(), 1u);
        EXPECT_EQ(next.front().event, ServerEvent::info("after"));
    }
}

// The device found follows the last acknowledgement even when its lease arrived while full.
TEST(EventHandOver, AnAcknowledgementAfterOverflowStillFindsItsDevice) {
    EventHandOver handOver(true, 10);
    Lease offered = leaseOf(7, Lease::State::offered);
    Lease bound = leaseOf(7, Lease::State::bound);
    handOver.push(item(ServerEvent::leaseChanged(leaseOf(1, Lease::State::bound))));
    handOver.push(item(ServerEvent::sent(ack(leaseOf(1, Lease::State::bound)))));
    for (int i = 0; i < 20; ++i) handOver.push(item(ServerEvent::info("flood")));
    handOver.push(item(ServerEvent::leaseChanged(offered)));
    handOver.push(item(ServerEvent::info("flood")));
    handOver.push(item(ServerEvent::leaseChanged(bound)));
    handOver.push(item(ServerEvent::sent(ack(bound))));
    handOver.push(item(ServerEvent::info("flood")));

    AnvilState state;
    for (const auto& taken : handOver.takeReady()) state.apply(taken.event, taken.at);
    ASSERT_TRUE(state.deviceFound);
    EXPECT_EQ(*state.deviceFound, bound);
}

// One wake per batch: a busy reader is not sent a task for every event.
TEST(EventHandOver, WakesOnceUntilTheReaderTakes) {
    int wakes = 0;
    EventHandOver handOver(true, EventHandOver::defaultBound, [&] { ++wakes; });
    for (int i = 0; i < 500; ++i) handOver.push(item(ServerEvent::info("x")));
    EXPECT_EQ(wakes, 1);
    EXPECT_EQ(handOver.takeReady().size(), 500u);
    EXPECT_TRUE(handOver.takeReady().empty());
    handOver.push(item(ServerEvent::info("y")));
    EXPECT_EQ(wakes, 2);
    handOver.finish();
    EXPECT_FALSE(handOver.isFinished()) << "one event still waits";
    EXPECT_EQ(handOver.take().size(), 1u);
    EXPECT_TRUE(handOver.take().empty());
    EXPECT_TRUE(handOver.isFinished());
}

// A slow reader gets each transfer's newest count, and never loses where a transfer got to.
TEST(EventHandOver, TransferProgressKeepsOnlyTheNewestCountPerTransfer) {
    EventHandOver handOver(true, 10);
    auto pc = *IPv4Address::parse("192.168.0.100");
    for (int i = 0; i < 20; ++i) handOver.push(item(ServerEvent::info("flood")));
    for (std::uint64_t bytes = 0; bytes <= 100'000; bytes += 512) {
        handOver.push(item(ServerEvent::tftpProgress(1, pc, std::nullopt, "a", bytes, 100'000)));
        handOver.push(item(ServerEvent::tftpProgress(2, pc, std::nullopt, "b", bytes / 2, 100'000)));
        ASSERT_LE(handOver.size(), 10u + 1 + 2) << "the bound, the missed-lines marker, one count per transfer";
    }
    AnvilState state;
    for (const auto& taken : handOver.takeReady()) state.apply(taken.event, taken.at);
    ASSERT_EQ(state.transfers.size(), 2u);
    EXPECT_EQ(state.transfers.at(1).bytes, 99'840u);
    EXPECT_EQ(state.transfers.at(2).bytes, 49'920u);
}
