#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <thread>

#include "cli/cli_error.hpp"
#include "cli/runners.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/addressing/system_clock.hpp"
#include "core/events/event_log.hpp"
#include "core/events/log_file_writer.hpp"
#include "core/host/host_setup.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/preflight.hpp"
#include "core/host/system_makers.hpp"
#include "core/server/dhcp_server.hpp"
#include "core/server/transport_error.hpp"

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

// Prints every event in stream order and writes the text lines to the day's log file.
void printEvents(DHCPServer::Events& events, bool json, LogFileWriter* writer) {
    while (auto event = events.next()) {
        auto now = systemNow();
        auto line = EventLog::line(*event, now);
        if (line) line = plainText(*line);  // JSON escapes control characters itself
        if (line && writer) writer->append(*line, now);
        auto output = json ? EventLog::json(*event, now, SystemMakers::lookup) : line;
        if (output) std::printf("%s\n", output->c_str());
        std::fflush(stdout);
    }
    if (writer) writer->flush();
}

}  // namespace

int runServe(const ServeOptions& options) {
    const auto& config = options.config;
    validateOrThrow(config);

    auto leasePath = options.leasePath ? std::filesystem::absolute(*options.leasePath) : LeaseFile::defaultURL();
    auto mode = TransportMode::loopback(options.port, options.clientPort);
    std::optional<MACAddress> cardMAC;
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
    }

    // SIGINT is taken by sigwait below; block it before any thread starts so none of them gets it.
    sigset_t interrupt;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &interrupt, &previousMask);

    std::unique_ptr<LogFileWriter> writer;
    if (!options.loopback) writer = std::make_unique<LogFileWriter>(LogFileWriter::defaultDirectory());
    auto server = std::make_unique<DHCPServer>(
        DHCPServer::Options{config, mode, cardMAC, LeaseFile(leasePath), !options.loopback});
    auto events = server->events();
    std::thread printer([events, json = options.json, log = writer.get()] { printEvents(*events, json, log); });

    try {
        server->start();
    } catch (const std::exception& error) {
        // The failed server finishes its stream; what loading reported is printed before the error.
        server.reset();
        printer.join();
        // Not serving after all: Ctrl-C ends the process again, also during the holder lookup's child
        // process, which would otherwise inherit the blocked signal.
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        auto transportError = dynamic_cast<const TransportError*>(&error);
        if (transportError && transportError->code == EADDRINUSE) {
            int port = options.loopback ? options.port : 67;
            throw CLIError::failure("port " + std::to_string(port) + " is in use by " +
                                    plainText(Preflight::port67Holder().value_or("another program")));
        }
        throw CLIError::failure(plainText(transportError ? transportError->description() : error.what()));
    }

    int received = 0;
    while (sigwait(&interrupt, &received) != 0 || received != SIGINT) {
    }
    server->stop();
    printer.join();
    return 0;
}

}  // namespace anvil
