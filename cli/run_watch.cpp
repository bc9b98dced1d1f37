#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "cli/advice_commands.hpp"
#include "cli/cli_error.hpp"
#include "cli/event_printer.hpp"
#include "cli/runners.hpp"
#include "cli/stop_signals.hpp"
#include "core/addressing/plain_text.hpp"
#include "core/run/log_file_writer.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/system_makers.hpp"
#include "core/run/card_run.hpp"
#include "core/run/server_run.hpp"

namespace anvil {

int runWatch(const WatchOptions& options) {
    auto cards = Interfaces::list();
    auto card = std::find_if(cards.begin(), cards.end(),
                             [&](const NetworkCard& candidate) { return candidate.bsdName == options.interface; });
    if (card == cards.end())
        throw CLIError::failure("no network card named " + plainText(options.interface) + "; run `dhcpanvil list`");

    StopSignals stopping;
    // The same pipe as serving: the printer, and the day's log file.
    auto writer = std::make_unique<LogFileWriter>(LogFileWriter::defaultDirectory());
    ServerRun run(std::make_unique<CardRun>(CardRun::Options::watchOnly(card->bsdName, card->mac, SystemMakers::lookup)),
                  writer.get());
    // A watch that cannot start says why in its error alone.
    if (auto failure = run.start()) {
        stopping.release();
        throw CLIError::failure(plainText(failure->description));
    }
    if (!options.json) {
        std::printf("Watching %s for devices (Ctrl-C to stop)\n", plainText(card->bsdName).c_str());
        std::fflush(stdout);
    }
    EventPrinting printing;
    printing.json = options.json;
    printing.card = *card;
    std::thread printer([events = run.events(), printing = std::move(printing)] { printEvents(*events, printing); });
    stopping.wait();
    run.stop();
    printer.join();
    writer->flush();
    return 0;
}

}  // namespace anvil
