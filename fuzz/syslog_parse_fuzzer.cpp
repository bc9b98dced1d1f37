// Feeds arbitrary bytes as one syslog datagram and as network console fragments: the parser must
// stay inside the limit and whatever is shown must carry no control byte; the console lines and the
// throttle must keep their bounds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>

#include "core/device_logs/console_assembly.hpp"
#include "core/device_logs/device_log_limits.hpp"
#include "core/device_logs/device_log_line.hpp"
#include "core/device_logs/log_throttle.hpp"
#include "core/device_logs/syslog_message.hpp"

namespace {

void check(bool condition, const char* what) {
    if (condition) return;
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void checkShown(std::string_view text) {
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        check(byte >= 0x20 && byte != 0x7F, "control byte shown");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace anvil;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    auto message = parseSyslogMessage(std::span(data, size));
    check(message.raw.size() <= DeviceLogLimits::lineBytes, "raw past the limit");
    check(bytes.starts_with(message.raw), "raw is not what was sent");
    check(message.cut == (size > DeviceLogLimits::lineBytes), "cut misreported");
    check(message.text.size() <= message.raw.size(), "text longer than the datagram");
    check(message.severity.has_value() == message.facility.has_value(), "half a priority");
    check(message.facility.value_or(0) <= 23, "facility past 23");
    auto line = deviceLogLine(message);
    checkShown(line.tag);
    checkShown(line.host);
    checkShown(line.text);

    // The same bytes as console fragments from two senders, cut where the first byte says.
    ConsoleAssembly assembly(1);
    LogThrottle throttle(1);
    const LogSender senders[] = {{{192, 168, 0, 10}, 6666, {}}, {{192, 168, 0, 11}, 6666, {}}};
    auto split = size == 0 ? 0 : data[0] % (size + 1);
    std::vector<ConsoleLine> lines;
    for (auto piece : {bytes.substr(0, split), bytes.substr(split)}) {
        for (const auto& sender : senders) {
            auto more = assembly.receive(sender, piece, Date{0.5});
            lines.insert(lines.end(), more.begin(), more.end());
            check(assembly.senderCount() <= 1, "senders past capacity");
        }
    }
    auto late = assembly.due(Date{2});
    lines.insert(lines.end(), late.begin(), late.end());
    check(assembly.senderCount() == 0, "partial kept past its time");
    for (const auto& console : lines) {
        check(console.text.size() <= DeviceLogLimits::lineBytes, "console line past the limit");
        checkShown(deviceLogLine(console).text);
        (void)throttle.admit(console.sender, console.text.size(), Date{1});
        check(throttle.senderCount() <= 1, "throttled senders past capacity");
    }
    (void)throttle.takeDropped(Date{3});
    return 0;
}
