#pragma once
// Appends log lines to one file per local day, on a serial queue of its own.
#include <filesystem>
#include <string>

#include "core/addressing/date.hpp"
#include "core/events/serial_queue.hpp"

namespace anvil {

class LogFileWriter {
public:
    explicit LogFileWriter(std::filesystem::path directory);

    // $XDG_STATE_HOME when it is absolute, else the account's ~/.local/state, + "/DHCP Anvil/logs";
    // empty when the account has no home folder, and then no line is written.
    static std::filesystem::path defaultDirectory();
    // "%04d-%02d-%02d.log" of the local day the moment falls on.
    static std::string fileName(Date date);

    // Queues the line for the file of the date's day; file errors drop the line silently.
    void append(std::string line, Date date);
    // Waits until every line queued before the call is written.
    void flush();

    const std::filesystem::path& directory() const { return directory_; }

private:
    std::filesystem::path directory_;
    SerialQueue queue_{"dhcpanvil.logfile"};
};

}  // namespace anvil
