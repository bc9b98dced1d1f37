#pragma once
// Pieces of work each run once on a loop after a delay, a bounded number waiting at a time.
#include <cstddef>
#include <functional>
#include <memory>

namespace asio {
class io_context;
}

namespace anvil {

class DelayedRuns {
public:
    DelayedRuns(asio::io_context& loop, std::size_t limit);
    // On the loop's thread; what waits never runs.
    ~DelayedRuns();
    DelayedRuns(const DelayedRuns&) = delete;
    DelayedRuns& operator=(const DelayedRuns&) = delete;

    bool hasRoom() const;
    // Seconds; the caller keeps to the bound with hasRoom().
    void after(double delay, std::function<void()> work);
    // What waits never runs, even a run already due.
    void clear();

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace anvil
