#include "core/watch_service/watch_run.hpp"

namespace anvil {

// PLACEHOLDER: replaced by the watch's own loop.
struct WatchRun::State {
    std::shared_ptr<EventStream<ServerEvent>> events = std::make_shared<EventStream<ServerEvent>>();
};
WatchRun::WatchRun(Options) : state_(std::make_shared<State>()) {}
WatchRun::~WatchRun() = default;
void WatchRun::start() { throw WatchStartError("Watching is not built yet."); }
void WatchRun::stop() { state_->events->finish(); }
std::shared_ptr<EventStream<ServerEvent>> WatchRun::events() const { return state_->events; }

}  // namespace anvil
