#pragma once
// An unbounded, thread-safe stream of values: producers never block; the one reader
// waits for the next value and learns when the stream has finished. A server's events pass
// through one to the thread of its run, which takes each as it comes and waits for no front end;
// what a slow front end has not read yet waits in a bounded EventHandOver instead.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace anvil {

template <typename Value>
class EventStream {
public:
    void yield(Value value) {
        {
            std::lock_guard lock(mutex_);
            if (finished_) return;
            buffer_.push_back(std::move(value));
        }
        ready_.notify_one();
    }

    void finish() {
        {
            std::lock_guard lock(mutex_);
            finished_ = true;
        }
        ready_.notify_all();
    }

    // The next value in order, or nothing once the stream has finished and is drained.
    std::optional<Value> next() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !buffer_.empty() || finished_; });
        if (buffer_.empty()) return std::nullopt;
        Value value = std::move(buffer_.front());
        buffer_.pop_front();
        return value;
    }

    // Every value waiting, in order, once one waits; empty once the stream has finished and is drained.
    std::vector<Value> takeAll() {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [&] { return !buffer_.empty() || finished_; });
        std::vector<Value> values;
        values.reserve(buffer_.size());
        for (auto& value : buffer_) values.push_back(std::move(value));
        buffer_.clear();
        return values;
    }

    // The next value if one is waiting, without blocking.
    std::optional<Value> tryNext() {
        std::lock_guard lock(mutex_);
        if (buffer_.empty()) return std::nullopt;
        Value value = std::move(buffer_.front());
        buffer_.pop_front();
        return value;
    }

    bool isFinished() const {
        std::lock_guard lock(mutex_);
        return finished_ && buffer_.empty();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Value> buffer_;
    bool finished_ = false;
};

}  // namespace anvil
