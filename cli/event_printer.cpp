#include "cli/event_printer.hpp"

#include <cstdio>

namespace anvil {

void printEvents(EventHandOver& events, EventPrinting printing) {
    for (auto batch = events.take(); !batch.empty(); batch = events.take()) {
        for (const auto& item : batch)
            for (const auto& output : printedLines(printing, item.event, item.at, item.line))
                std::printf("%s\n", output.c_str());
        // Once per batch: what waited together is written together.
        std::fflush(stdout);
    }
}

}  // namespace anvil
