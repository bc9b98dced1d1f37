#pragma once
// Opens the card (its socket, the watch of its cable) again after an unplug or a down and up on a
// thread of its own: opening may ask the privilege helper and take seconds, and the server goes on
// serving meanwhile. One opening of each at a time.
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "core/events/serial_queue.hpp"
#include "core/host/frame_watch.hpp"
#include "core/server/transport.hpp"

namespace asio {
class io_context;
}

namespace anvil {

class CardReopener {
public:
    // The opened transport, or why it could not be opened.
    struct Opened {
        std::unique_ptr<Transport> transport;
        std::string failure;
    };
    using Done = std::function<void(const std::string& name, Opened opened)>;

    CardReopener(asio::io_context& loop, TransportFactory factory);
    // Waits for the opening under way; its result is posted to the loop as usual.
    ~CardReopener() = default;
    CardReopener(const CardReopener&) = delete;
    CardReopener& operator=(const CardReopener&) = delete;

    // Called on the loop; `done` runs there when the opening ended, even if this object is gone
    // by then, so it must find its own receiver (the server may have stopped).
    void reopen(const std::string& name, Done done);
    bool busy() const { return *busy_; }

    // The same for the watch of the card's cable, after the card's socket when both are asked for.
    using WatchOpened = std::variant<FrameWatch, PrivilegeHelper::Failure>;
    using OpenWatch = std::function<WatchOpened(const std::string& name)>;
    using WatchDone = std::function<void(const std::string& name, WatchOpened opened)>;
    void reopenWatch(const std::string& name, OpenWatch open, WatchDone done);
    bool watchBusy() const { return *watchBusy_; }

private:
    asio::io_context& loop_;
    TransportFactory factory_;
    // Shared with the posted answer, which may arrive after this object is gone.
    std::shared_ptr<bool> busy_ = std::make_shared<bool>(false);
    std::shared_ptr<bool> watchBusy_ = std::make_shared<bool>(false);
    // Last, so it is the first to go: its thread ends after the opening under way.
    SerialQueue queue_{"dhcpanvil.reopen"};
};

}  // namespace anvil
