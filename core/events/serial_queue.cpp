#include "core/events/serial_queue.hpp"

#include <pthread.h>

#include <future>

#include "core/events/serial_queue_state.hpp"

namespace anvil {

SerialQueue::SerialQueue(std::string label) : state_(std::make_unique<State>()) {
    state_->label = std::move(label);
    state_->work.emplace(state_->context.get_executor());
    std::promise<void> ready;
    auto started = ready.get_future();
    state_->thread = std::thread([this, &ready] {
        state_->threadID = std::this_thread::get_id();
        // Thread names are cut to 15 bytes; the label's start is what matters in a debugger.
        ::pthread_setname_np(::pthread_self(), state_->label.substr(0, 15).c_str());
        ready.set_value();
        state_->context.run();
    });
    started.wait();
}

SerialQueue::~SerialQueue() {
    state_->work.reset();
    if (state_->thread.joinable()) state_->thread.join();
}

const std::string& SerialQueue::label() const { return state_->label; }

void SerialQueue::async(std::function<void()> task) { asio::post(state_->context, std::move(task)); }

void SerialQueue::sync(const std::function<void()>& task) {
    std::promise<void> done;
    auto finished = done.get_future();
    asio::post(state_->context, [&] {
        try {
            task();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    finished.get();
}

bool SerialQueue::isCurrent() const { return std::this_thread::get_id() == state_->threadID; }

}  // namespace anvil
