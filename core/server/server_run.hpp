#pragma once
// One run of a server for a front end: the thread that takes the server's events as they come,
// writes each one's line to the day's log file and hands the events on, in order, through a bounded
// hand-over; and the start's failure in terms a front end words. The tool and the app both serve
// through it.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "core/addressing/date.hpp"
#include "core/events/event_hand_over.hpp"
#include "core/events/log_file_writer.hpp"
#include "core/server/dhcp_server.hpp"

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
    ServerRun(std::unique_ptr<DHCPServer> server, LogFileWriter* logFile);
    ServerRun(std::unique_ptr<DHCPServer> server, LogFileWriter* logFile, Seams seams);
    // Stops a server still serving, so that its leases are saved.
    ~ServerRun();
    ServerRun(const ServerRun&) = delete;
    ServerRun& operator=(const ServerRun&) = delete;

    // Opens the socket and loads the leases (it may take a while); on failure what the start
    // reported is handed over and the hand-over finished before this returns.
    std::optional<StartFailure> start();
    // Stops the server; returns once its last event was handed over and the hand-over finished.
    // Throws what the server's stop throws.
    void stop();

    // Read by exactly one front end.
    const std::shared_ptr<EventHandOver>& events() const { return events_; }
    DHCPServer& server() { return *server_; }

private:
    void pump();
    void endPump();

    std::unique_ptr<DHCPServer> server_;
    LogFileWriter* logFile_;
    Seams seams_;
    std::shared_ptr<EventHandOver> events_;
    std::thread pump_;
    bool serving_ = false;
};

}  // namespace anvil
