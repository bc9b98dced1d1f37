#pragma once
// Runs its work on a loop after a first delay and then at a fixed interval, until destroyed.
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace anvil {

class RepeatingTimer {
public:
    // Seconds. Each run is planned from the previous plan, so a slow run does not push the rest.
    RepeatingTimer(asio::io_context& loop, double first, double interval, std::function<void()> work);
    // On the loop's thread; the work itself may destroy its timer, and then it runs no more.
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace anvil
