#pragma once
// One line of what a device said, ready to show: the texts are escaped (plainText), so they can
// go to a terminal, a file or a label as they are.
#include <cstdint>
#include <optional>
#include <string>

#include "core/device_logs/console_assembly.hpp"
#include "core/device_logs/severity.hpp"
#include "core/device_logs/syslog_message.hpp"

namespace anvil {

struct DeviceLogLine {
    // None for console text, plain lines and the receiver's own drop lines.
    std::optional<Severity> severity;
    // The syslog app or tag; empty for console text.
    std::string tag;
    // The host field as sent: shown, never used to tell who sent it.
    std::string host;
    std::string text;
    // The sender's line was longer than the limit.
    bool cut = false;

    friend bool operator==(const DeviceLogLine&, const DeviceLogLine&) = default;
};

DeviceLogLine deviceLogLine(const SyslogMessage& message);
DeviceLogLine deviceLogLine(const ConsoleLine& line);
// The line that stands for a second's dropped lines.
DeviceLogLine droppedLogLine(std::uint32_t count);

}  // namespace anvil
