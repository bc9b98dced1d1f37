#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/advice_commands.hpp"
#include "cli/cli_error.hpp"
#include "cli/runners.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/events/event_log.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/system_makers.hpp"
#include "core/watch_service/watch_run.hpp"

namespace anvil {

namespace {

Date wallClock() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return Date{std::chrono::duration<double>(since).count()};
}

void printEvents(EventStream<ServerEvent>& events, EventPrinting printing) {
    for (auto batch = events.takeAll(); !batch.empty(); batch = events.takeAll()) {
        auto at = wallClock();
        for (const auto& event : batch)
            for (const auto& output : printedLines(printing, event, at, EventLog::line(event, at)))
                std::printf("%s\n", output.c_str());
        std::fflush(stdout);
    }
}

}  // namespace

int runWatch(const WatchOptions& options) {
    auto cards = Interfaces::list();
    auto card = std::find_if(cards.begin(), cards.end(),
                             [&](const NetworkCard& candidate) { return candidate.bsdName == options.interface; });
    if (card == cards.end())
        throw CLIError::failure("no network card named " + plainText(options.interface) + "; run `dhcpanvil list`");

    // Both end the watch through sigwait below; blocked before any thread starts so none of them gets them.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGINT);
    sigaddset(&stopping, SIGTERM);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &stopping, &previousMask);

    WatchRun run(WatchRun::Options{card->bsdName, SystemMakers::lookup});
    try {
        run.start();
    } catch (const WatchStartError& error) {
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
        throw CLIError::failure(plainText(error.what()));
    }
    if (!options.json) {
        std::printf("Watching %s for devices (Ctrl-C to stop)\n", plainText(card->bsdName).c_str());
        std::fflush(stdout);
    }
    EventPrinting printing;
    printing.json = options.json;
    printing.card = *card;
    std::thread printer([events = run.events(), printing = std::move(printing)] { printEvents(*events, printing); });

    int received = 0;
    while (sigwait(&stopping, &received) != 0 || (received != SIGINT && received != SIGTERM)) {
    }
    run.stop();
    printer.join();
    return 0;
}

}  // namespace anvil
