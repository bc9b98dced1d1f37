#include "core/watch_service/watch_run.hpp"

#include <net/if.h>

#include <asio.hpp>
#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <thread>

#include "core/host/frame_watch.hpp"
#include "core/host/interfaces.hpp"
#include "core/watch_service/bench_facts.hpp"
#include "core/watch_service/cable_watch.hpp"

namespace anvil {

struct WatchRun::State {
    Options options;
    std::shared_ptr<EventStream<ServerEvent>> events = std::make_shared<EventStream<ServerEvent>>();
    asio::io_context loop;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::unique_ptr<CableWatch> watch;
    // The watch ends when the card goes down or stops being a bench card; it is opened again each
    // second while the link is up. This loop serves nothing else, so the opening may block it.
    asio::steady_timer returning{loop};
    bool returnFailed = false;
    std::thread thread;
    bool stopped = false;
    // Until watching begins, a failure to start is the caller's error, not a line.
    bool watching = false;
    std::string failure;

    explicit State(Options options) : options(std::move(options)) {}
};

namespace {

void tryReturn(WatchRun::State& state) {
    const auto& card = state.options.card;
    if (!state.watch || !state.watch->hasEnded() || !Interfaces::mediaStatus(card).linkUp) return;
    auto opened = openFrameWatch(card);
    if (auto* failure = std::get_if<PrivilegeHelper::Failure>(&opened)) {
        if (!std::exchange(state.returnFailed, true))
            state.events->yield(
                ServerEvent::info("Watching the cable of " + card + " could not start again (" + failure->operation +
                                  (failure->code ? ": " + std::string(std::strerror(failure->code)) : "") +
                                  "); it is tried again each second while the link is up."));
        return;
    }
    state.returnFailed = false;
    if (state.watch->resume(card, std::move(opened)))
        state.events->yield(ServerEvent::info("Watching the cable of " + card + " again."));
}

void watchForReturn(const std::shared_ptr<WatchRun::State>& shared) {
    shared->returning.expires_after(std::chrono::seconds(1));
    shared->returning.async_wait([weak = std::weak_ptr<WatchRun::State>(shared)](const asio::error_code& error) {
        auto state = weak.lock();
        // A stop resets the watch on this loop: then the timer is not armed again.
        if (error || !state || !state->watch) return;
        tryReturn(*state);
        watchForReturn(state);
    });
}

}  // namespace

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
    watchForReturn(state_);
    state.thread = std::thread([this_state = state_] { this_state->loop.run(); });
}

void WatchRun::stop() {
    auto& state = *state_;
    if (state.stopped) return;
    state.stopped = true;
    if (state.thread.joinable()) {
        std::promise<void> done;
        asio::post(state.loop, [&state, &done] {
            state.returning.cancel();
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
