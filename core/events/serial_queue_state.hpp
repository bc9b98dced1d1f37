#pragma once
// The Asio side of SerialQueue, for code that needs its executor (timers, descriptors).
// Include from .cpp files only.
#include <asio.hpp>
#include <optional>
#include <thread>

#include "core/events/serial_queue.hpp"

namespace anvil {

struct SerialQueue::State {
    std::string label;
    asio::io_context context{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::thread thread;
    std::thread::id threadID;
};

}  // namespace anvil
