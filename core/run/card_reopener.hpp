#pragma once
// Opens the sockets of a card's services again after an unplug, a down and up or the helper
// letting go, on a thread of its own: opening may ask the privilege helper and take seconds, and
// the run's loop goes on serving meanwhile. One opening at a time.
#include <functional>
#include <memory>
#include <string>

#include "core/events/serial_queue.hpp"
#include "core/run/card_service.hpp"

namespace asio {
class io_context;
}

namespace anvil {

class CardReopener {
public:
    using Done = std::function<void(CardService::Opening opening)>;

    explicit CardReopener(asio::io_context& loop);
    // Waits for the opening under way; its result is posted to the loop as usual.
    ~CardReopener() = default;
    CardReopener(const CardReopener&) = delete;
    CardReopener& operator=(const CardReopener&) = delete;

    // Called on the loop; `done` runs there when the opening ended, even if this object is gone
    // by then, so it must find its own receiver (the run may have stopped). A loop that stopped
    // never runs it: the sockets are then closed.
    void reopen(const std::string& card, CardService::Opener open, Done done);
    bool busy() const { return *busy_; }

private:
    asio::io_context& loop_;
    // Shared with the posted answer, which may arrive after this object is gone.
    std::shared_ptr<bool> busy_ = std::make_shared<bool>(false);
    // Last, so it is the first to go: its thread ends after the opening under way.
    SerialQueue queue_{"dhcpanvil.reopen"};
};

}  // namespace anvil
