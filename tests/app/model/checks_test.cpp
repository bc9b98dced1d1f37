// The checklist's gathering: a late answer never overwrites a newer one, nor the run's checks.
#include "app/model/checks.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include "controller_bench.hpp"

using namespace anvil;

TEST(Checks, OnlyTheNewestGatheringIsShownAndNoneWhileServing) {
    struct Case {
        const char* name;
        // Whether the server starts before the answers come.
        bool startsMeanwhile;
        bool expectPortFree;
        bool expectShown;
    };
    const std::vector<Case> cases{
        {"the newer gathering wins", false, true, true},
        {"a server started meanwhile keeps the checks it started with", true, false, false},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        ControllerBench bench;
        bool serving = false;
        int gathered = 0;
        bench.env.gatherPreflight = [&](const NetworkCard& card, const ServerConfig& config) {
            // The first answer says the port is taken; it is to be overwritten by the second.
            auto port = ++gathered == 1 ? Port67State::inUse("dnsmasq") : Port67State::available();
            return PreflightInput{card, {}, config, port, false};
        };
        Checks checks(bench.context, [&] { return serving; });
        NetworkCard card;
        card.bsdName = "eth9";
        card.kind = NetworkCard::Kind::ethernet;
        checks.refresh(&card, defaultServerConfig());
        checks.refresh(&card, defaultServerConfig());
        serving = each.startsMeanwhile;
        // Both gatherings end in order; the second one's answer reaches the main thread first.
        ControllerBench::runAll(bench.away);
        ASSERT_EQ(bench.mainThread.size(), 2u);
        std::swap(bench.mainThread.front(), bench.mainThread.back());
        ControllerBench::runAll(bench.mainThread);
        EXPECT_EQ(!checks.list().empty(), each.expectShown);
        if (!each.expectShown) continue;
        auto port = std::find_if(checks.list().begin(), checks.list().end(),
                                 [](const PreflightCheck& check) { return check.id == PreflightCheck::ID::port67; });
        ASSERT_NE(port, checks.list().end());
        EXPECT_EQ(port->status == PreflightCheck::Status::pass, each.expectPortFree);
    }
}
