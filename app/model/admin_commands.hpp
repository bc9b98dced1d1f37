#pragma once
// Commands that change the host's network set-up and may ask for the administrator's password:
// the card's address or DHCP (asked first, as a pending command), and the second addresses that
// reach a device on the cable. One runner takes them all away from the window and back.
#include <functional>
#include <optional>
#include <string>

#include "app/model/model_context.hpp"
#include "core/host/network_card.hpp"
#include "core/host/preflight.hpp"

namespace anvil {

class CardChoice;
class SettingsSheet;

struct PendingCommand {
    std::string id;
    std::string title;
    std::string command;
    std::string service;
    // The card the command is for: setup re-checks it just before running.
    NetworkCard card;
    friend bool operator==(const PendingCommand&, const PendingCommand&) = default;
};

class AdminCommands {
public:
    AdminCommands(ModelContext& context, const CardChoice& cards, const SettingsSheet& settings)
        : context_(context), cards_(cards), settings_(settings) {}

    const std::optional<PendingCommand>& pending() const { return pending_; }
    // Whether the app offers to set this card's address or put it back on DHCP: never for the
    // computer's main internet connection, whose addresses such a command would take away.
    static bool offersSetup(const NetworkCard& card);
    // The selected card can be configured: it has a service and the app offers its setup.
    bool canConfigure() const;
    bool offersFix(const PreflightCheck& check) const { return check.fix && canConfigure(); }

    void requestConfigure();
    void requestRestoreDHCP();
    void cancel();
    // Runs a confirmed set-up command; `setupFinished` is told afterwards, whatever came of it.
    void run(PendingCommand pending);
    std::function<void()> setupFinished;
    // Adds or removes a second address of a card, asking for the administrator's password only
    // when the user's rights are refused; `done` on the main thread when it worked.
    void runAddressCommand(const NetworkCard& card, const std::string& command, std::function<void()> done);

private:
    // `work` runs away from the window, since a password dialog can stay up for minutes; back on
    // the main thread the command is logged when it worked and shown with its terminal line when
    // it failed (a cancelled prompt shows nothing), then `after` learns whether it worked.
    void runAway(std::function<void()> work, const std::string& command, std::function<void(bool worked)> after);

    ModelContext& context_;
    const CardChoice& cards_;
    const SettingsSheet& settings_;
    std::optional<PendingCommand> pending_;
};

}  // namespace anvil
