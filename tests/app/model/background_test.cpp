// The one way back from the background: once, on the main thread, and only while the model lives.
#include "app/model/background.hpp"

#include <gtest/gtest.h>

#include "controller_bench.hpp"

using namespace anvil;

TEST(Background, WorkComesBackOnceOnTheMainThreadAndNeverAfterTheModelWent) {
    struct Case {
        const char* name;
        // In the order they happen: 'w' the work ends, 't' the timeout fires, 'c' the model goes.
        std::string order;
        std::vector<int> resumed;
    };
    const std::vector<Case> cases{
        {"the work is first", "wt", {42}},
        {"the timeout is first", "tw", {-1}},
        {"the model went before the work ended", "cw", {}},
        {"the model went before the timeout", "ct", {}},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        ControllerBench bench;
        std::vector<int> resumed;
        bool ranAway = false;
        bench.background->withTimeout<int>(
            3.0, -1,
            [&] {
                ranAway = true;
                return 42;
            },
            [&](int value) { resumed.push_back(value); });
        EXPECT_TRUE(resumed.empty()) << "nothing comes back before the main thread runs";
        for (char step : each.order) {
            if (step == 'w') bench.settle();
            if (step == 't') ControllerBench::runAll(bench.timers);
            if (step == 'c') bench.background->close();
        }
        EXPECT_EQ(resumed, each.resumed);
        EXPECT_EQ(ranAway, each.order.find('w') != std::string::npos);
    }
}

TEST(Background, AGuardedCallDoesNothingOnceTheModelWent) {
    ControllerBench bench;
    std::vector<std::string> answers;
    auto answer = bench.background->guarded([&](const std::string& text) { answers.push_back(text); });
    answer("before");
    bench.background->close();
    answer("after");
    EXPECT_EQ(answers, std::vector<std::string>{"before"});
}
