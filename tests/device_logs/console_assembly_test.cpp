#include "core/device_logs/console_assembly.hpp"

#include <gtest/gtest.h>

#include "core/device_logs/device_log_limits.hpp"

namespace anvil {
namespace {

const LogSender senders[] = {
    {{192, 168, 0, 10}, 6666, {}},
    {{192, 168, 0, 11}, 6666, {}},
    {{192, 168, 0, 10}, 6667, {}},
    {{169, 254, 1, 1}, 6666, MACAddress{{2, 0, 0, 0, 0, 1}}},
    {{169, 254, 1, 1}, 6666, MACAddress{{2, 0, 0, 0, 0, 2}}},
};

TEST(ConsoleAssembly, joinsFragmentsIntoLinesPerSenderAndLetsWaitingOnesGo) {
    struct Out {
        int sender;
        std::string text;
        bool cut = false;
    };
    struct Step {
        double at;
        // Nothing: the clock ticks and due() is asked.
        std::optional<std::string> datagram;
        std::vector<Out> lines;
        int sender = 0;
    };
    struct Case {
        std::string name;
        std::vector<Step> steps;
        std::size_t capacity = ConsoleAssembly::defaultSenderCapacity;
    };
    const auto limit = DeviceLogLimits::lineBytes;
    const std::string x(limit, 'x'), half(5000, 'y');
    const std::vector<Case> cases{
        {"lines split, the rest waits for its newline",
         {{0, "a\nb\r\nc", {{0, "a"}, {0, "b"}}}, {0.5, "d\n\n", {{0, "cd"}, {0, ""}}}, {5, {}, {}}}},
        {"kernel fragments joined",
         {{0, "[    1.000] Linux ver", {}}, {0.01, "sion 6.1 (gcc", {}}, {0.02, ")\n[    1.1", {{0, "[    1.000] Linux version 6.1 (gcc)"}}}}},
        {"senders kept apart: address, port, hardware address",
         {{0, "foo", {}, 0}, {0, "bar", {}, 1}, {0, "baz", {}, 2}, {0, "one", {}, 3}, {0, "two", {}, 4},
          {0.1, "1\n", {{1, "bar1"}}, 1}, {0.1, "2\n", {{0, "foo2"}}, 0}, {0.1, "3\n", {{2, "baz3"}}, 2},
          {0.1, "!\n", {{4, "two!"}}, 4}, {0.1, "!\n", {{3, "one!"}}, 3}}},
        {"a prompt without a newline goes after a second from its first fragment",
         {{0, "=> ", {}}, {0.8, "v", {}}, {0.99, {}, {}}, {1.0, {}, {{0, "=> v"}}}, {1.5, "x\n", {{0, "x"}}}}},
        {"a long line is cut and its rest skipped",
         {{0, x + "zzz\nnext\n", {{0, x, true}, {0, "next"}}}}},
        {"a partial past the limit goes out at once, the rest of it skipped",
         {{0, half, {}}, {0.1, half, {{0, (half + half).substr(0, limit), true}}}, {0.2, "tail", {}},
          {0.3, "tail\nok\n", {{0, "ok"}}}}},
        {"a line exactly at the limit is whole", {{0, x + "\n", {{0, x}}}}},
        {"a skipped rest gives nothing when it times out", {{0, x + "more", {{0, x, true}}}, {2, {}, {}}, {2, "new\n", {{0, "new"}}}}},
        {"past the capacity the oldest partial goes out",
         {{0, "p", {}, 0}, {0.1, "q", {}, 1}, {0.2, "r", {{0, "p"}}, 2}, {0.3, "s\n", {{1, "qs"}}, 1}, {0.4, {}, {}},
          {1.2, {}, {{2, "r"}}}},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ConsoleAssembly assembly(c.capacity);
        for (const auto& step : c.steps) {
            auto lines = step.datagram ? assembly.receive(senders[step.sender], *step.datagram, Date{step.at})
                                       : assembly.due(Date{step.at});
            std::vector<ConsoleLine> expected;
            for (const auto& out : step.lines) expected.push_back({senders[out.sender], out.text, out.cut});
            EXPECT_EQ(lines, expected) << "at " << step.at;
            EXPECT_LE(assembly.senderCount(), c.capacity);
            if (auto next = assembly.nextDue()) {
                EXPECT_GT(*next, Date{step.at});
            }
        }
    }
}

}  // namespace
}  // namespace anvil
