#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "cli/advice_commands.hpp"
#include "cli/cli_error.hpp"
#include "cli/event_printer.hpp"
#include "cli/runners.hpp"
#include "cli/stop_signals.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/events/event_log.hpp"
#include "core/run/log_file_writer.hpp"
#include "core/host/host_setup.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/preflight.hpp"
#include "core/host/system_makers.hpp"
#include "core/run/card_run.hpp"
#include "core/run/server_run.hpp"

namespace anvil {

namespace {

void validateOrThrow(const ServerConfig& config) {
    auto errors = config.validate();
    if (errors.empty()) return;
    std::string message;
    for (const auto& error : errors) {
        if (!message.empty()) message += '\n';
        message += error.description();
    }
    throw CLIError::failure(message);
}

// Runs the checks and prints their rows; false when serving must not start.
bool preflightAllowsStart(const NetworkCard& card, const ServerConfig& config) {
    auto checks = Preflight::evaluate(Preflight::gather(card, config));
    for (const auto& check : checks)
        std::printf("%s %s\n", std::string(Preflight::symbol(check.status)).c_str(), plainText(check.message).c_str());
    if (Preflight::canStart(checks)) return true;
    // The internet connection gets no command that would change it, only the way to the right card.
    if (auto refusal = HostSetup::refusalNow(card)) {
        std::printf("\n%s\n", plainText(*refusal).c_str());
    } else if (std::any_of(checks.begin(), checks.end(), [](const auto& check) { return check.fix.has_value(); })) {
        auto command = HostSetup::setManualCommand(card, config.serverIP, config.mask());
        std::printf("\nRun this, then start dhcpanvil again:\n  %s\n", plainText(HostSetup::sudoLine(command)).c_str());
    }
    std::fflush(stdout);
    return false;
}

}  // namespace

int runServe(const ServeOptions& options) {
    const auto& config = options.config;
    validateOrThrow(config);

    auto leasePath = options.leasePath ? std::filesystem::absolute(*options.leasePath) : LeaseFile::defaultURL();
    auto mode = TransportMode::loopback(options.port, options.clientPort);
    std::optional<MACAddress> cardMAC;
    EventPrinting printing;
    printing.json = options.json;
    printing.served = Subnet{config.serverIP, config.prefixLength};
    if (!options.loopback) {
        auto cards = Interfaces::list();
        auto card = std::find_if(cards.begin(), cards.end(),
                                 [&](const NetworkCard& candidate) { return candidate.bsdName == *options.interface; });
        if (card == cards.end())
            throw CLIError::failure("no network card named " + plainText(*options.interface) +
                                    "; run `dhcpanvil list`");
        if (!preflightAllowsStart(*card, config)) return 1;
        mode = TransportMode::interface(card->bsdName);
        cardMAC = card->mac;
        printing.card = *card;
    }

    StopSignals stopping;

    std::unique_ptr<LogFileWriter> writer;
    if (!options.loopback) writer = std::make_unique<LogFileWriter>(LogFileWriter::defaultDirectory());
    ServerRun::Seams seams;
    seams.portHolder = [&stopping] {
        // Not serving after all: Ctrl-C ends the process again, also during the lookup's child
        // process, which would otherwise inherit the blocked signal.
        stopping.release();
        return Preflight::port67Holder();
    };
    ServerRun run(std::make_unique<CardRun>(
                      CardRun::Options{config, mode, cardMAC, LeaseFile(leasePath), !options.loopback,
                                       !options.loopback && options.watch, SystemMakers::lookup}),
                  writer.get(), std::move(seams));
    std::thread printer([events = run.events(), printing = std::move(printing)] { printEvents(*events, printing); });

    if (auto failure = run.start()) {
        // What loading reported is printed before the error.
        printer.join();
        stopping.release();
        if (failure->portInUse) {
            int port = options.loopback ? options.port : 67;
            throw CLIError::failure("port " + std::to_string(port) + " is in use by " +
                                    plainText(failure->holder.value_or("another program")));
        }
        throw CLIError::failure(plainText(failure->description));
    }

    stopping.wait();
    run.stop();
    printer.join();
    if (writer) writer->flush();
    return 0;
}

}  // namespace anvil
