// The one runner of host set-up commands, as the address commands of the cable's devices use it.
#include "app/model/admin_commands.hpp"

#include <gtest/gtest.h>

#include "app/model/card_choice.hpp"
#include "app/model/settings_sheet.hpp"
#include "controller_bench.hpp"
#include "core/host/host_setup.hpp"

using namespace anvil;

TEST(AdminCommands, AnAddressCommandIsLoggedWhenItWorkedShownWhenItFailedAndForgottenWhenCancelled) {
    struct Case {
        const char* name;
        std::function<void()> outcome;
        bool done;
        std::optional<std::string> alert;
    };
    const std::string command = "ip address add 10.1.1.254/24 dev 'eth9'";
    const std::vector<Case> cases{
        {"worked", [] {}, true, std::nullopt},
        {"refused", [] { throw HostSetupError("Not authorized.", false); }, false, "Not authorized."},
        {"the prompt was cancelled", [] { throw HostSetupError("Cancelled.", true); }, false, std::nullopt},
        {"no way to add addresses", nullptr, false, "This computer cannot add addresses to a card."},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        ControllerBench bench;
        std::vector<bool> administrator;
        if (each.outcome)
            bench.env.runAddressCommand = [&](const NetworkCard&, const std::string&, bool mayAsk) {
                administrator.push_back(mayAsk);
                each.outcome();
            };
        CardChoice cards(bench.context);
        SettingsSheet settings(bench.context);
        AdminCommands commands(bench.context, cards, settings);
        NetworkCard card;
        card.bsdName = "eth9";
        bool done = false;
        commands.runAddressCommand(card, command, [&] { done = true; });
        EXPECT_TRUE(bench.told.empty()) << "nothing happens before the command came back";
        bench.settle();
        EXPECT_EQ(done, each.done);
        EXPECT_EQ(bench.alert.message, each.alert);
        EXPECT_EQ(bench.alert.failedCommand, each.alert ? std::optional(HostSetup::sudoLine(command)) : std::nullopt);
        bool logged = !bench.log.lines().empty() &&
                      bench.log.lines().back().text.find("ADAPTER") != std::string::npos &&
                      bench.log.lines().back().text.find(command) != std::string::npos;
        EXPECT_EQ(logged, each.done);
        if (each.outcome) {
            EXPECT_EQ(administrator, std::vector<bool>{true}) << "it may ask for the password";
        }
        ASSERT_FALSE(bench.told.empty());
        EXPECT_TRUE(bench.told.back().touches(ModelChange::neighbours | ModelChange::dialogs));
    }
}
