// The own server's start, stop and event intake.
#include "app/model/serving.hpp"

#include <mutex>
#include <type_traits>

namespace anvil {

namespace {

LogLine::Kind kindOf(const ServerEvent& event) {
    if (event.is<ServerEvent::Received>()) return LogLine::Kind::rx;
    if (event.is<ServerEvent::Sent>()) return LogLine::Kind::tx;
    if (event.is<ServerEvent::Presence>()) return LogLine::Kind::presence;
    if (event.is<ServerEvent::Dropped>() || event.is<ServerEvent::NoticeRaised>() ||
        event.is<ServerEvent::TFTPFailed>())
        return LogLine::Kind::notice;
    return LogLine::Kind::other;
}

// What an event changes besides the log: a packet moves the device panel, a lease or its presence
// the lease table, a device on the cable the cable's section, a transfer its device's row and card.
ModelChange partsOf(const ServerEvent& event) {
    return std::visit(
        [](const auto& payload) -> ModelChange {
            using Case = std::decay_t<decltype(payload)>;
            if constexpr (std::is_same_v<Case, ServerEvent::Started> || std::is_same_v<Case, ServerEvent::Received> ||
                          std::is_same_v<Case, ServerEvent::Sent>)
                return ModelChange::serving;
            else if constexpr (std::is_same_v<Case, ServerEvent::LeaseChanged> ||
                               std::is_same_v<Case, ServerEvent::LeaseRemoved> ||
                               std::is_same_v<Case, ServerEvent::Presence>)
                return ModelChange::leases;
            else if constexpr (std::is_same_v<Case, ServerEvent::NoticeRaised> ||
                               std::is_same_v<Case, ServerEvent::NoticeCleared>)
                return ModelChange::notices;
            else if constexpr (std::is_same_v<Case, ServerEvent::Stopped>)
                return ModelChange::serving | ModelChange::notices | ModelChange::leases | ModelChange::neighbours |
                       ModelChange::transfers;
            // Its advice comes as a notice of its own.
            else if constexpr (std::is_same_v<Case, ServerEvent::Neighbour>)
                return ModelChange::neighbours;
            else if constexpr (std::is_same_v<Case, ServerEvent::TFTPRequested> ||
                               std::is_same_v<Case, ServerEvent::TFTPProgress> ||
                               std::is_same_v<Case, ServerEvent::TFTPFinished> ||
                               std::is_same_v<Case, ServerEvent::TFTPFailed>)
                return ModelChange::transfers;
            else
                return {};
        },
        event.value);
}

}  // namespace

struct Serving::StartOutcome {
    std::shared_ptr<ServerRun> run;
    std::string interface;
    std::mutex mutex;
    bool done = false;
    bool taken = false;
    std::optional<ServerRun::StartFailure> failure;
};

Serving::Serving(ModelContext& context, LogFileWriter& logFile)
    : context_(context), logFile_(logFile), leaseFile_(context.env.leaseFileURL) {}

void Serving::start(const NetworkCard& card, const ServerConfig& config) {
    // Weak: the hand-over keeps this wake, which must not keep the hand-over in turn.
    auto handOver = std::make_shared<std::weak_ptr<EventHandOver>>();
    auto take =
        context_.background.poster([this](const std::shared_ptr<EventHandOver>& events) { takeEvents(*events); });
    ServerRun::Seams seams;
    seams.now = context_.env.now;
    seams.portHolder =
        context_.env.port67Holder ? context_.env.port67Holder : [] { return std::optional<std::string>(); };
    // At most one task waits on the main thread, however fast the server reports.
    // The task holds the hand-over: a run torn down meanwhile still has its last events taken.
    seams.wake = [handOver, take] {
        if (auto events = handOver->lock()) take(events);
    };
    CardRun::Options options{config, TransportMode::interface(card.bsdName), card.mac, leaseFile_, true};
    // The cable watch names the makers of devices that never ask.
    options.maker = context_.env.maker;
    try {
        run_ = std::make_shared<ServerRun>(context_.env.makeServer(std::move(options)), &logFile_, std::move(seams));
    } catch (const std::exception& error) {
        context_.alert.message = error.what();
        context_.changed(ModelChange::dialogs);
        return;
    }
    *handOver = run_->events();

    // Opening the socket asks the privilege helper and loading writes the lease file: both may take
    // seconds, so they run away from the window and the outcome comes back to it.
    starting_ = true;
    stopAfterStart_ = false;
    auto outcome = std::make_shared<StartOutcome>();
    outcome->run = run_;
    outcome->interface = card.bsdName;
    auto started = std::make_shared<std::promise<void>>();
    startup_ = started->get_future().share();
    context_.background.run(
        [outcome, started] {
            auto failure = outcome->run->start();
            {
                std::lock_guard lock(outcome->mutex);
                outcome->failure = std::move(failure);
                outcome->done = true;
            }
            started->set_value();
        },
        [this, outcome] { finishStart(outcome); });
    // An executor that ran the start at once has the outcome ready: no need to wait a turn for it.
    finishStart(outcome);
    context_.changed(ModelChange::serving);
}

void Serving::finishStart(const std::shared_ptr<StartOutcome>& outcome) {
    {
        std::lock_guard lock(outcome->mutex);
        if (!outcome->done || outcome->taken) return;
        outcome->taken = true;
    }
    starting_ = false;
    auto& events = *outcome->run->events();
    if (const auto& failure = outcome->failure) {
        run_.reset();
        // What loading reported before the failure still counts.
        takeEvents(events);
        if (failure->portInUse)
            context_.state.raise(Notice::portInUse(failure->holder, context_.env.platform));
        else
            context_.alert.message = failure->description;
        context_.changed(ModelChange::serving | ModelChange::dialogs | ModelChange::notices);
        return;
    }
    // Before the run's first event: the events held back while starting belong to this run.
    context_.state.runStarted(outcome->interface);
    running_ = true;
    startedAt_ = context_.env.now();
    takeEvents(events);
    if (stopAfterStart_) stop();
    context_.changed(ModelChange::serving | ModelChange::dialogs | ModelChange::notices | ModelChange::leases);
}

void Serving::stop() {
    if (starting_) {
        // A start cannot be called back half-way: the server stops as soon as it has started.
        stopAfterStart_ = true;
        return;
    }
    if (run_) {
        // Saving the leases and closing the socket may take a while: tear down away from the window.
        stopping_ = true;
        auto done = std::make_shared<std::promise<void>>();
        teardown_ = done->get_future().share();
        context_.background.run(
            [run = std::move(run_), done]() mutable {
                std::optional<std::string> error;
                try {
                    // Returns once the last event was handed over, so the window takes it before finishStop.
                    run->stop();
                } catch (const std::exception& failure) {
                    error = failure.what();
                }
                run.reset();
                done->set_value();
                return error;
            },
            [this](std::optional<std::string> error) { finishStop(std::move(error)); });
    }
    running_ = false;
    startedAt_.reset();
    if (stopped) stopped();
    context_.changed(ModelChange::serving);
}

void Serving::finishStop(std::optional<std::string> error) {
    stopping_ = false;
    if (error) context_.alert.message = std::move(error);
    if (stopped) stopped();
    context_.changed(ModelChange::serving | ModelChange::dialogs);
}

void Serving::takeEvents(EventHandOver& events) {
    if (starting_) return;
    for (const auto& item : events.takeReady())
        if (deliver) deliver(item);
}

void Serving::awaitBackground() {
    if (startup_.valid()) startup_.wait();
    if (teardown_.valid()) teardown_.wait();
}

void Serving::shutDown() {
    if (!run_) return;
    try {
        run_->stop();
    } catch (const std::exception&) {
    }
}

ModelChange Serving::intake(const RunEvent& item) {
    const auto& event = item.event;
    ModelChange parts = partsOf(event);
    if (const auto& line = item.line) {
        context_.log.add(*line, kindOf(event));
        parts |= ModelChange::log;
    }
    context_.state.apply(event, item.at);
    if (event.is<ServerEvent::Stopped>()) running_ = false;
    return parts;
}

}  // namespace anvil
