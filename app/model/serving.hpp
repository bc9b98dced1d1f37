#pragma once
// The app's own server: starting it away from the window, stopping and tearing it down, and the
// intake of its events, which come back to the main thread in order.
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>

#include "app/model/model_context.hpp"
#include "core/leases/lease_file.hpp"
#include "core/run/log_file_writer.hpp"
#include "core/run/server_run.hpp"

namespace anvil {

class Serving {
public:
    Serving(ModelContext& context, LogFileWriter& logFile);
    Serving(const Serving&) = delete;
    Serving& operator=(const Serving&) = delete;

    bool isRunning() const { return running_; }
    // The server is opening its socket and loading its leases away from the window.
    bool isStarting() const { return starting_; }
    // The last server's teardown is still running; Start waits for it.
    bool isStopping() const { return stopping_; }
    bool isBusy() const { return running_ || starting_ || stopping_; }
    const std::optional<Date>& startedAt() const { return startedAt_; }
    // The running server's requests (forget, recovery serving, …); null while there is none.
    CardRun* run() const { return run_ ? &run_->card() : nullptr; }
    const LeaseFile& leaseFile() const { return leaseFile_; }

    // Called with each event the run hands over, in order, on the main thread.
    std::function<void(const RunEvent&)> deliver;
    // Called when the server stopped or its teardown ended, for what depends on it.
    std::function<void()> stopped;

    void start(const NetworkCard& card, const ServerConfig& config);
    void stop();
    // Folds an event into the read-out and its line into the log: the parts that changed.
    ModelChange intake(const RunEvent& item);
    // On the way out: waits for a start or teardown in the background, which the process must not
    // cut short, and then stops a server still running, which saves its leases.
    void awaitBackground();
    void shutDown();

private:
    friend struct ModelStaging;
    struct StartOutcome;
    void finishStart(const std::shared_ptr<StartOutcome>& outcome);
    void finishStop(std::optional<std::string> error);
    // Handles what the run handed over; while a start is pending the events wait for its outcome.
    void takeEvents(EventHandOver& events);

    ModelContext& context_;
    LogFileWriter& logFile_;
    LeaseFile leaseFile_;
    std::shared_ptr<ServerRun> run_;
    bool running_ = false;
    bool starting_ = false;
    bool stopping_ = false;
    // Stop was asked for while the start was still running.
    bool stopAfterStart_ = false;
    std::optional<Date> startedAt_;
    std::shared_future<void> startup_;
    std::shared_future<void> teardown_;
};

}  // namespace anvil
