#pragma once
// A labelled serial queue: tasks run one at a time, in order, on one thread of its own.
#include <functional>
#include <memory>
#include <string>

namespace anvil {

class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Runs what is queued, then stops the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const;
    void async(std::function<void()> task);
    // Runs the task on the queue and waits for it; must not be called from the queue itself.
    void sync(const std::function<void()>& task);
    bool isCurrent() const;

    struct State;
    State& state() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

}  // namespace anvil
