#pragma once
// Prints a run's events for `serve` and `watch` in stream order, taking what waits at once so
// that the run never waits for a terminal that was paused.
#include "cli/advice_commands.hpp"
#include "core/run/event_hand_over.hpp"

namespace anvil {

// Until the hand-over finishes.
void printEvents(EventHandOver& events, EventPrinting printing);

}  // namespace anvil
