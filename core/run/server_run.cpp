#include "core/run/server_run.hpp"

#include <cerrno>
#include <chrono>
#include <exception>
#include <thread>

#include "core/addressing/plain_text.hpp"
#include "core/addressing/system_clock.hpp"
#include "core/events/event_log.hpp"
#include "core/host/preflight.hpp"
#include "core/dhcp_service/transport_error.hpp"

namespace anvil {

namespace {

// How long events of a busy run gather before this thread takes them.
constexpr auto eventGroupDelay = std::chrono::milliseconds(5);

}  // namespace

ServerRun::ServerRun(std::unique_ptr<CardRun> run, LogFileWriter* logFile)
    : ServerRun(std::move(run), logFile, Seams{}) {}

ServerRun::ServerRun(std::unique_ptr<CardRun> run, LogFileWriter* logFile, Seams seams)
    : run_(std::move(run)), logFile_(logFile), seams_(std::move(seams)) {
    if (!seams_.now) seams_.now = systemNow;
    if (!seams_.portHolder) seams_.portHolder = Preflight::port67Holder;
    events_ = std::make_shared<EventHandOver>(logFile_ != nullptr, seams_.bound, seams_.wake);
}

ServerRun::~ServerRun() {
    try {
        stop();
    } catch (const std::exception&) {
    }
}

void ServerRun::pump() {
    auto source = run_->events();
    for (auto events = source->takeAll(); !events.empty(); events = source->takeAll()) {
        for (auto& event : events) {
            Date at = seams_.now();
            auto line = EventLog::line(event, at);
            // Every line reaches the file, however far behind the front end is.
            if (line && logFile_) logFile_->append(plainText(*line), at);
            events_->push({std::move(event), at, std::move(line)});
        }
        // What comes meanwhile is taken as the next group: waking this thread (and the front
        // end's) for each event cost the server more than deciding the packet did.
        std::this_thread::sleep_for(eventGroupDelay);
    }
    events_->finish();
}

void ServerRun::endPump() {
    // The run's stop finished its stream already; one that never started has not.
    run_->events()->finish();
    if (pump_.joinable()) pump_.join();
}

std::optional<ServerRun::StartFailure> ServerRun::start() {
    if (serving_ || pump_.joinable()) return std::nullopt;
    pump_ = std::thread([this] { pump(); });
    try {
        run_->start();
        serving_ = true;
        return std::nullopt;
    } catch (const std::exception& error) {
        endPump();
        StartFailure failure;
        failure.description = error.what();
        const auto* transportError = dynamic_cast<const TransportError*>(&error);
        if (transportError && transportError->code == EADDRINUSE) {
            failure.portInUse = true;
            failure.holder = seams_.portHolder();
        }
        return failure;
    }
}

void ServerRun::stop() {
    std::exception_ptr failure;
    if (serving_) {
        serving_ = false;
        try {
            run_->stop();
        } catch (const std::exception&) {
            failure = std::current_exception();
        }
    }
    endPump();
    if (failure) std::rethrow_exception(failure);
}

}  // namespace anvil
