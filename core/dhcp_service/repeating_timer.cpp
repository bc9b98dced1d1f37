#include "core/dhcp_service/repeating_timer.hpp"

#include <asio.hpp>
#include <chrono>

namespace anvil {

namespace {

std::chrono::steady_clock::duration seconds(double value) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(value));
}

}  // namespace

// Shared with the wait under way, so a run that destroys its timer leaves the state alive until
// the run has returned.
struct RepeatingTimer::State : std::enable_shared_from_this<State> {
    asio::steady_timer timer;
    std::chrono::steady_clock::duration interval;
    std::function<void()> work;
    bool stopped = false;

    State(asio::io_context& loop, double first, double interval, std::function<void()> work)
        : timer(loop, seconds(first)), interval(seconds(interval)), work(std::move(work)) {}

    void arm() {
        timer.async_wait([self = shared_from_this()](const asio::error_code& error) {
            // A run already due when the timer was destroyed is not cancelled by Asio: the flag is.
            if (error || self->stopped) return;
            self->work();
            if (self->stopped) return;
            self->timer.expires_at(self->timer.expiry() + self->interval);
            self->arm();
        });
    }
};

RepeatingTimer::RepeatingTimer(asio::io_context& loop, double first, double interval, std::function<void()> work)
    : state_(std::make_shared<State>(loop, first, interval, std::move(work))) {
    state_->arm();
}

RepeatingTimer::~RepeatingTimer() {
    state_->stopped = true;
    state_->timer.cancel();
}

}  // namespace anvil
