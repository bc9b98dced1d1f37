// The host set-up commands and their one runner.
#include "app/model/admin_commands.hpp"

#include <cstdio>
#include <random>

#include "app/model/card_choice.hpp"
#include "app/model/settings_sheet.hpp"
#include "core/host/host_setup.hpp"

namespace anvil {

namespace {

std::string freshUUID() {
    static thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uniform_int_distribution<unsigned> byte(0, 255);
    unsigned char bytes[16];
    for (auto& b : bytes) b = static_cast<unsigned char>(byte(generator));
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

struct Outcome {
    bool worked = false;
    bool cancelled = false;
    std::string error;
};

}  // namespace

bool AdminCommands::offersSetup(const NetworkCard& card) { return HostSetup::mayConfigure(card); }

bool AdminCommands::canConfigure() const {
    const auto* card = cards_.selected();
    return card && card->serviceName && offersSetup(*card);
}

void AdminCommands::requestConfigure() {
    if (!canConfigure()) return;
    const auto& card = *cards_.selected();
    const auto& config = settings_.config();
    const std::string& service = *card.serviceName;
    pending_ = PendingCommand{freshUUID(),
                              "Configure " + service + " as " + config.serverIP.description() + "/" +
                                  std::to_string(config.prefixLength) + "?",
                              HostSetup::setManualCommand(card, config.serverIP, config.mask()), service, card};
    context_.changed(ModelChange::dialogs);
}

void AdminCommands::requestRestoreDHCP() {
    if (!canConfigure()) return;
    const auto& card = *cards_.selected();
    const std::string& service = *card.serviceName;
    pending_ = PendingCommand{freshUUID(), "Set " + service + " back to DHCP?", HostSetup::setDHCPCommand(card),
                              service, card};
    context_.changed(ModelChange::dialogs);
}

void AdminCommands::cancel() {
    pending_.reset();
    context_.changed(ModelChange::dialogs);
}

void AdminCommands::run(PendingCommand pending) {
    pending_.reset();
    context_.changed(ModelChange::dialogs);
    auto work = [pending, names = context_.env.knownServiceNames, setup = context_.env.runSetupCommand] {
        HostSetup::validatedService(pending.service, names());
        setup(pending.card, pending.command);
    };
    runAway(work, pending.command, [this](bool) {
        if (setupFinished) setupFinished();
        context_.changed(ModelChange::cards | ModelChange::dialogs);
    });
}

void AdminCommands::runAddressCommand(const NetworkCard& card, const std::string& command, std::function<void()> done) {
    auto work = [card, command, run = context_.env.runAddressCommand] {
        if (!run) throw std::runtime_error("This computer cannot add addresses to a card.");
        run(card, command, true);
    };
    runAway(work, command, [this, done = std::move(done)](bool worked) {
        if (worked) done();
        context_.changed(ModelChange::neighbours | ModelChange::notices | ModelChange::dialogs);
    });
}

void AdminCommands::runAway(std::function<void()> work, const std::string& command, std::function<void(bool)> after) {
    context_.background.run(
        [work = std::move(work)] {
            Outcome outcome;
            try {
                work();
                outcome.worked = true;
            } catch (const HostSetupError& error) {
                outcome.cancelled = error.isCancellation;
                outcome.error = error.description();
            } catch (const std::exception& error) {
                outcome.error = error.what();
            }
            return outcome;
        },
        [this, command, after = std::move(after)](Outcome outcome) {
            if (outcome.worked) {
                context_.logLine("ADAPTER", command);
                context_.changed(ModelChange::log);
            } else if (!outcome.cancelled) {
                context_.alert.failedCommand = HostSetup::sudoLine(command);
                context_.alert.message = outcome.error;
            }
            after(outcome.worked);
        });
}

}  // namespace anvil
