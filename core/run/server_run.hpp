#pragma once
// One run on a card for a front end: the thread that takes the run's events as they come, writes
// each one's line to the day's log file and hands the events on, in order, through a bounded
// hand-over; and the start's failure in terms a front end words. `serve`, `watch` and the app all
// run through it.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/addressing/date.hpp"
#include "core/run/event_hand_over.hpp"
#include "core/run/log_file_writer.hpp"
#include "core/run/card_run.hpp"

namespace anvil {

class ServerRun {
public:
    // Why serving did not begin.
    struct StartFailure {
        // The server's port was taken; `holder` names the program on port 67 when one could be found.
        bool portInUse = false;
        std::optional<std::string> holder;
        // The error's own text.
        std::string description;
    };

    struct Seams {
        // The time each event is stamped with; the system clock when null.
        std::function<Date()> now;
        // Who holds port 67; the host's answer when null. Runs a child process.
        std::function<std::optional<std::string>()> portHolder;
        std::size_t bound = EventHandOver::defaultBound;
        // Told when events start waiting (see EventHandOver); a front end that waits in take() needs none.
        std::function<void()> wake;
    };

    // Without a log file the lines go to the front end alone.
    ServerRun(std::unique_ptr<CardRun> run, LogFileWriter* logFile);
    ServerRun(std::unique_ptr<CardRun> run, LogFileWriter* logFile, Seams seams);
    // Stops a server still serving, so that its leases are saved.
    ~ServerRun();
    ServerRun(const ServerRun&) = delete;
    ServerRun& operator=(const ServerRun&) = delete;

    // Opens the sockets and loads the leases (it may take a while); on failure what the start
    // reported is handed over and the hand-over finished before this returns.
    std::optional<StartFailure> start();
    // Stops the run; returns once its last event was handed over and the hand-over finished.
    // Throws what the run's stop throws.
    void stop();

    // Read by exactly one front end.
    const std::shared_ptr<EventHandOver>& events() const { return events_; }
    CardRun& card() { return *run_; }

private:
    void pump();
    void endPump();

    std::unique_ptr<CardRun> run_;
    LogFileWriter* logFile_;
    Seams seams_;
    std::shared_ptr<EventHandOver> events_;
    std::thread pump_;
    bool serving_ = false;
};

}  // namespace anvil
