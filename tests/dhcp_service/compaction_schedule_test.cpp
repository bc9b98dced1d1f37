// When compactions run: the retry delays after failures, the lines they are worth, and how far
// leases.json may fall behind the journal when traffic never pauses.
#include "core/dhcp_service/compaction_schedule.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace anvil {
namespace {

using namespace std::chrono_literals;
using Clock = CompactionSchedule::Clock;

const Clock::time_point t0 = Clock::time_point{} + 1000h;

TEST(CompactionSchedule, retriesBackOffFromASecondToFiveMinutes) {
    const std::vector<Clock::duration> expected = {1s, 2s, 4s, 8s, 16s, 32s, 64s, 128s, 256s, 300s, 300s};
    for (std::size_t index = 0; index < expected.size(); ++index) {
        SCOPED_TRACE(index + 1);
        EXPECT_EQ(CompactionSchedule::retryDelay(static_cast<int>(index + 1)), expected[index]);
    }
    EXPECT_EQ(CompactionSchedule::retryDelay(1000), 300s);
}

// Drives a schedule second by second: a flush each second, and at each second where it is due a
// compaction that fails while `failing(second)` holds. Returns what a user would read.
struct ScheduledRun {
    std::function<bool(int second)> failing;
    int seconds;
    std::vector<int> attempts;
    std::vector<std::string> lines;
    int longestLag = 0;

    void operator()() {
        CompactionSchedule schedule;
        std::optional<int> oldestMissing;
        for (int second = 0; second < seconds; ++second) {
            auto now = t0 + std::chrono::seconds(second);
            schedule.flushed(now);
            if (!oldestMissing) oldestMissing = second;
            longestLag = std::max(longestLag, second - *oldestMissing);
            if (!schedule.isDue(now, false)) continue;
            attempts.push_back(second);
            schedule.started();
            if (failing(second)) {
                if (schedule.failed(now)) lines.push_back("not rewritten at " + std::to_string(second));
            } else {
                if (schedule.succeeded()) lines.push_back("rewritten at " + std::to_string(second));
                oldestMissing.reset();
            }
        }
    }
};

TEST(CompactionSchedule, steadyTrafficCompactsOnTimeAndFailuresAreOneLineEachWay) {
    struct Case {
        const char* name;
        std::function<bool(int)> failing;
        int seconds;
        std::vector<int> attempts;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"one flush a second never lets the snapshot lag more than the bound", [](int) { return false; }, 95,
         {30, 61, 92}, {}},
        {"failures back off and say so once, then once again on success",
         [](int second) { return second < 40; }, 70,
         {30, 31, 33, 37, 45}, {"not rewritten at 30", "rewritten at 45"}},
        {"five minutes apart at most while the disk stays broken", [](int) { return true; }, 1300,
         {30, 31, 33, 37, 45, 61, 93, 157, 285, 541, 841, 1141}, {"not rewritten at 30"}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        ScheduledRun run{testCase.failing, testCase.seconds, {}, {}, 0};
        run();
        EXPECT_EQ(run.attempts, testCase.attempts);
        EXPECT_EQ(run.lines, testCase.lines);
        if (testCase.lines.empty()) {
            EXPECT_LE(std::chrono::seconds(run.longestLag), CompactionSchedule::longestSnapshotLag);
        }
    }
}

TEST(CompactionSchedule, isDueAfterAQuietMomentALargeJournalOrANeededSnapshot) {
    struct Case {
        const char* name;
        std::function<void(CompactionSchedule&)> before;
        Clock::duration later;
        bool large;
        bool due;
    };
    const std::vector<Case> cases = {
        {"nothing flushed", [](CompactionSchedule&) {}, 10s, true, false},
        {"flushed, not yet quiet", [](CompactionSchedule& s) { s.flushed(t0); }, 1s, false, false},
        {"flushed, then quiet", [](CompactionSchedule& s) { s.flushed(t0); }, 2s, false, true},
        {"flushed, journal large", [](CompactionSchedule& s) { s.flushed(t0); }, 0s, true, true},
        {"records dropped: not at once", [](CompactionSchedule& s) { s.snapshotNeeded(t0); }, 0s, false, false},
        {"records dropped: due a second later", [](CompactionSchedule& s) { s.snapshotNeeded(t0); }, 1s, false, true},
        {"failed a moment ago: not before the delay",
         [](CompactionSchedule& s) {
             s.flushed(t0);
             s.started();
             s.failed(t0);
         },
         500ms, true, false},
        {"copied at once, flushed after the copy: still due later",
         [](CompactionSchedule& s) {
             s.flushed(t0);
             s.started();
             s.flushed(t0 + 1s);
             s.succeeded();
         },
         31s, false, true},
        {"copied everything: nothing more to do",
         [](CompactionSchedule& s) {
             s.flushed(t0);
             s.started();
             s.succeeded();
         },
         31s, false, false},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        CompactionSchedule schedule;
        testCase.before(schedule);
        EXPECT_EQ(schedule.isDue(t0 + testCase.later, testCase.large), testCase.due);
    }
}

}  // namespace
}  // namespace anvil
