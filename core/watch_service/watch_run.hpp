#pragma once
// Watching a card's cable without serving, for `dhcpanvil watch`: its own loop on its own thread,
// and the events of the watch in one stream.
#include <memory>
#include <stdexcept>
#include <string>

#include "core/addressing/maker_registry.hpp"
#include "core/events/event_stream.hpp"
#include "core/events/server_event.hpp"

namespace anvil {

// The watch could not begin; the message is a whole sentence for the user.
struct WatchStartError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

class WatchRun {
public:
    struct Options {
        std::string card;
        MakerLookup maker;
    };

    explicit WatchRun(Options options);
    ~WatchRun();
    WatchRun(const WatchRun&) = delete;
    WatchRun& operator=(const WatchRun&) = delete;

    // Throws WatchStartError when the card cannot be watched (no right, no such card).
    void start();
    // Emits `stopped` and finishes the stream.
    void stop();
    std::shared_ptr<EventStream<ServerEvent>> events() const;

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace anvil
