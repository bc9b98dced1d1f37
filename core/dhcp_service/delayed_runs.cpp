#include "core/dhcp_service/delayed_runs.hpp"

#include <algorithm>
#include <asio.hpp>
#include <chrono>
#include <vector>

namespace anvil {

struct DelayedRuns::State {
    asio::io_context& loop;
    std::size_t limit;
    std::vector<std::unique_ptr<asio::steady_timer>> waiting;
};

DelayedRuns::DelayedRuns(asio::io_context& loop, std::size_t limit)
    : state_(std::make_shared<State>(State{loop, limit, {}})) {}

DelayedRuns::~DelayedRuns() { clear(); }

bool DelayedRuns::hasRoom() const { return state_->waiting.size() < state_->limit; }

void DelayedRuns::after(double delay, std::function<void()> work) {
    auto duration =
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(delay));
    auto& timer = state_->waiting.emplace_back(std::make_unique<asio::steady_timer>(state_->loop, duration));
    timer->async_wait(
        [weak = std::weak_ptr(state_), timer = timer.get(), work = std::move(work)](const asio::error_code& error) {
            if (error) return;
            auto state = weak.lock();
            // Cleared while this run was already due: it no longer runs.
            if (!state || std::erase_if(state->waiting, [timer](const auto& held) { return held.get() == timer; }) == 0)
                return;
            work();
        });
}

void DelayedRuns::clear() { state_->waiting.clear(); }

}  // namespace anvil
