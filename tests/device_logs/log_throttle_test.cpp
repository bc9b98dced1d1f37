#include "core/device_logs/log_throttle.hpp"

#include <gtest/gtest.h>

#include "core/device_logs/device_log_limits.hpp"

namespace anvil {
namespace {

TEST(LogThrottle, dropsASendersLinesPastTheRateAndCountsThemOncePerSecond) {
    // The last two are the first from other ports: the same sender.
    const LogSender senders[] = {{{192, 168, 0, 10}, 0, {}}, {{192, 168, 0, 11}, 0, {}}, {{192, 168, 0, 12}, 0, {}},
                                 {{192, 168, 0, 10}, 40001, {}}, {{192, 168, 0, 10}, 40002, {}}};
    struct Step {
        double at;
        // Lines of `bytes` each from `sender`, and how many of them go on; or, with no lines, the drops taken.
        std::size_t lines = 0, bytes = 0, admitted = 0;
        int sender = 0;
        std::vector<std::pair<int, std::uint32_t>> dropped = {};
    };
    struct Case {
        std::string name;
        std::vector<Step> steps;
        std::size_t capacity = LogThrottle::defaultSenderCapacity;
    };
    const auto lineRate = DeviceLogLimits::linesPerSecond;
    const auto byteRate = DeviceLogLimits::bytesPerSecond;
    const std::vector<Case> cases{
        {"lines per second",
         {{0.0, lineRate, 10, lineRate}, {0.9, 44, 10, 0}, {0.95}, {1.0, 1, 10, 1}, {1.0, 0, 0, 0, 0, {{0, 44}}}, {1.5}}},
        {"bytes per second", {{3.2, 8, byteRate / 8, 8}, {3.3, 1, 1, 0}, {3.4, 1, 0, 1}, {4.0, 1, byteRate, 1}, {4.1, 0, 0, 0, 0, {{0, 1}}}}},
        {"a line that does not fit is dropped though smaller ones would", {{0, 1, byteRate - 10, 1}, {0, 1, 11, 0}, {0, 1, 10, 1}}},
        {"drops of seconds not yet taken add up", {{0, lineRate + 5, 1, lineRate}, {1, lineRate + 7, 1, lineRate}, {2.5, 0, 0, 0, 0, {{0, 12}}}}},
        {"a new source port per datagram is still one sender",
         {{0, lineRate - 1, 1, lineRate - 1, 3}, {0, 2, 1, 1, 4}, {0, 2, 1, 0, 0}, {1, 0, 0, 0, 0, {{0, 3}}}}},
        {"one sender's flood leaves the others alone",
         {{0, 10000, 1, lineRate, 0}, {0.5, 100, 1, 100, 1}, {1, 0, 0, 0, 0, {{0, 10000 - lineRate}}}}},
        {"room is made from a quiet sender, not one that owes a drop line",
         {{0, lineRate + 3, 1, lineRate, 0}, {0, 1, 1, 1, 1}, {0.5, 1, 1, 1, 2}, {1, 0, 0, 0, 0, {{0, 3}}}},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LogThrottle throttle(c.capacity);
        for (const auto& step : c.steps) {
            std::size_t admitted = 0;
            for (std::size_t line = 0; line < step.lines; ++line)
                admitted += throttle.admit(senders[step.sender], step.bytes, Date{step.at});
            EXPECT_EQ(admitted, step.admitted) << "at " << step.at;
            if (step.lines > 0) continue;
            std::vector<DroppedLines> expected;
            for (auto [sender, count] : step.dropped) expected.push_back({senders[sender], count});
            EXPECT_EQ(throttle.takeDropped(Date{step.at}), expected) << "at " << step.at;
            EXPECT_LE(throttle.senderCount(), c.capacity);
        }
    }
}

}  // namespace
}  // namespace anvil
