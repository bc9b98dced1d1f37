#include "core/watch_service/watch_run.hpp"

#include <net/if.h>

#include <asio.hpp>
#include <future>
#include <optional>
#include <thread>

#include "core/watch_service/bench_facts.hpp"
#include "core/watch_service/cable_watch.hpp"

namespace anvil {

struct WatchRun::State {
    Options options;
    std::shared_ptr<EventStream<ServerEvent>> events = std::make_shared<EventStream<ServerEvent>>();
    asio::io_context loop;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::unique_ptr<CableWatch> watch;
    std::thread thread;
    bool stopped = false;
    // Until watching begins, a failure to start is the caller's error, not a line.
    bool watching = false;
    std::string failure;

    explicit State(Options options) : options(std::move(options)) {}
};

WatchRun::WatchRun(Options options) : state_(std::make_shared<State>(std::move(options))) {}

WatchRun::~WatchRun() {
    if (!state_->stopped && state_->thread.joinable()) stop();
    if (state_->thread.joinable()) state_->thread.join();
}

void WatchRun::start() {
    auto& state = *state_;
    const auto& card = state.options.card;
    if (card.empty() || card.size() >= IFNAMSIZ || ::if_nametoindex(card.c_str()) == 0)
        throw WatchStartError("There is no network card named " + card + ".");
    CableWatch::Callbacks callbacks;
    auto events = state.events;
    callbacks.emit = [events, raw = &state](ServerEvent event) {
        if (!raw->watching) {
            if (auto info = std::get_if<ServerEvent::Info>(&event.value)) raw->failure = info->text;
            return;
        }
        events->yield(std::move(event));
    };
    callbacks.raise = [events](Notice notice) { events->yield(ServerEvent::noticeRaised(std::move(notice))); };
    callbacks.clear = [events](NoticeKind kind) { events->yield(ServerEvent::noticeCleared(kind)); };
    callbacks.maker = state.options.maker;
    callbacks.facts = [card] { return BenchFacts::read(card, std::nullopt); };
    state.watch = std::make_unique<CableWatch>(state.loop, card, std::move(callbacks));
    if (!state.watch->start()) {
        state.watch.reset();
        throw WatchStartError(state.failure.empty() ? "The cable of " + card + " cannot be watched." : state.failure);
    }
    state.watching = true;
    state.work.emplace(state.loop.get_executor());
    state.thread = std::thread([this_state = state_] { this_state->loop.run(); });
}

void WatchRun::stop() {
    auto& state = *state_;
    if (state.stopped) return;
    state.stopped = true;
    if (state.thread.joinable()) {
        std::promise<void> done;
        asio::post(state.loop, [&state, &done] {
            state.watch.reset();
            state.work.reset();
            done.set_value();
        });
        done.get_future().wait();
        state.thread.join();
    }
    state.events->yield(ServerEvent::stopped());
    state.events->finish();
}

std::shared_ptr<EventStream<ServerEvent>> WatchRun::events() const { return state_->events; }

}  // namespace anvil
