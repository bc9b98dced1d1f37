#pragma once
// Each sender's lines within one second of the caller's clock, counted and measured: past
// DeviceLogLimits::linesPerSecond or bytesPerSecond the rest of that second's lines are dropped,
// and once the second is over one line says how many. A flood from one device cannot drown
// the others or the server; the senders kept are bounded. A sender is its address and hardware
// address: the source port is the sender's to change with every datagram.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/device_logs/log_sender.hpp"

namespace anvil {

struct DroppedLines {
    // Port 0: the drops of every port together.
    LogSender sender;
    std::uint32_t count = 0;
    friend bool operator==(const DroppedLines&, const DroppedLines&) = default;
};

class LogThrottle {
public:
    static constexpr std::size_t defaultSenderCapacity = 256;
    explicit LogThrottle(std::size_t senderCapacity = defaultSenderCapacity) : capacity_(senderCapacity) {}

    // Whether a line of `bytes` (as sent) from `sender` may go on; one that may not is counted.
    bool admit(const LogSender& sender, std::size_t bytes, Date now);
    // The drops of every second that has ended by `now`, once each, one entry per sender.
    std::vector<DroppedLines> takeDropped(Date now);
    std::size_t senderCount() const { return senders_.size(); }

private:
    struct Window {
        LogSender sender;
        std::int64_t second = 0;
        std::size_t lines = 0;
        std::size_t bytes = 0;
        std::uint32_t dropped = 0;
        // Drops of an earlier second not yet taken.
        std::uint32_t droppedBefore = 0;
    };
    static void moveTo(Window& window, std::int64_t second);

    std::size_t capacity_;
    // Least recently heard from first.
    std::vector<Window> senders_;
};

// "1 line dropped", "37 lines dropped".
std::string droppedLinesText(std::uint32_t count);

}  // namespace anvil
