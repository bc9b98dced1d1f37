#include "core/device_logs/device_log_line.hpp"

#include "core/addressing/plain_text.hpp"
#include "core/device_logs/log_throttle.hpp"

namespace anvil {

DeviceLogLine deviceLogLine(const SyslogMessage& message) {
    auto tag = plainText(message.app);
    if (!message.processID.empty()) tag += "[" + plainText(message.processID) + "]";
    auto text = message.structuredData.empty() ? plainText(message.text)
                                               : plainText(message.structuredData) + " " + plainText(message.text);
    if (!message.structuredData.empty() && message.text.empty()) text.pop_back();
    return {message.severity, tag, plainText(message.host), text, message.cut};
}

DeviceLogLine deviceLogLine(const ConsoleLine& line) { return {std::nullopt, {}, {}, plainText(line.text), line.cut}; }

DeviceLogLine droppedLogLine(std::uint32_t count) { return {std::nullopt, {}, {}, droppedLinesText(count), false}; }

}  // namespace anvil
