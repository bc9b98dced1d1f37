// The probe scheduler alone: which probes start when slots are short, and which reclaims it drops.
#include "core/dhcp_service/probe_scheduler.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace anvil;

namespace {

using Priority = ProbeScheduler::Priority;

TEST(ProbeScheduler, EachKindKeepsItsSlotsAndReclaimsQueuedTooLongAreDropped) {
    struct Case {
        const char* name;
        std::vector<Priority> submitted;  // each at the time it is submitted
        double waitBeforeFirstEnds;       // seconds between the submissions and the first probe's end
        std::string startedAtOnce;        // r for a reclaim, s for a sweep, in start order
        std::string startedAfterFirstEnds;
        std::size_t givenUp;
    };
    using enum Priority;
    // Three slots at most, at most two for either kind.
    const std::vector<Case> cases{
        {"a reclaim burst leaves the sweep a slot", {reclaim, reclaim, reclaim, reclaim, sweep}, 0, "rrs", "r", 0},
        {"a sweep leaves reclaims a slot", {sweep, sweep, sweep, reclaim}, 0, "ssr", "s", 0},
        {"a reclaim queued four seconds still starts", {reclaim, reclaim, reclaim}, 4, "rr", "r", 0},
        {"a reclaim queued longer is dropped", {reclaim, reclaim, reclaim, reclaim}, 4.5, "rr", "", 2},
        {"a stale reclaim gives its turn to the sweep", {reclaim, reclaim, reclaim, sweep, sweep}, 5, "rrs", "s", 1},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.name);
        Date now{1'700'000'000};
        ProbeScheduler scheduler{3, 2, 2, [&now] { return now; }};
        std::string started;
        std::vector<std::function<void()>> running;
        std::size_t givenUp = 0;
        for (auto priority : row.submitted) {
            char kind = priority == reclaim ? 'r' : 's';
            scheduler.submit(
                priority,
                [&, kind](std::function<void()> finished) {
                    started += kind;
                    running.push_back(std::move(finished));
                },
                [&givenUp] { ++givenUp; });
        }
        EXPECT_EQ(started, row.startedAtOnce);

        now = now.addingSeconds(row.waitBeforeFirstEnds);
        started.clear();
        running.front()();
        running.front()();  // a second call gives back nothing more
        EXPECT_EQ(started, row.startedAfterFirstEnds);
        EXPECT_EQ(givenUp, row.givenUp);
        EXPECT_EQ(scheduler.running(), row.startedAtOnce.size() - 1 + row.startedAfterFirstEnds.size());
    }
}

}  // namespace
