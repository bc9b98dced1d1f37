#include "core/device_logs/log_throttle.hpp"

#include <algorithm>
#include <cmath>

#include "core/device_logs/device_log_limits.hpp"

namespace anvil {

namespace {

std::int64_t wholeSecond(Date now) { return static_cast<std::int64_t>(std::floor(now.secondsSince1970)); }

}  // namespace

void LogThrottle::moveTo(Window& window, std::int64_t second) {
    if (second == window.second) return;
    window.droppedBefore += window.dropped;
    window.dropped = 0;
    window.lines = window.bytes = 0;
    window.second = second;
}

bool LogThrottle::admit(const LogSender& from, std::size_t bytes, Date now) {
    const LogSender sender{from.address, 0, from.mac};
    auto second = wholeSecond(now);
    auto found = std::find_if(senders_.begin(), senders_.end(), [&](const Window& w) { return w.sender == sender; });
    Window window{sender, second};
    if (found != senders_.end()) {
        window = *found;
        senders_.erase(found);
    } else if (senders_.size() >= capacity_ && !senders_.empty()) {
        // Room is made from the sender quiet longest that owes no drop line, if there is one;
        // only when every kept sender is flooding is a count lost.
        auto quiet = std::find_if(senders_.begin(), senders_.end(),
                                  [](const Window& w) { return w.dropped == 0 && w.droppedBefore == 0; });
        senders_.erase(quiet != senders_.end() ? quiet : senders_.begin());
    }
    moveTo(window, second);
    bool admitted = window.lines < DeviceLogLimits::linesPerSecond &&
                    window.bytes + bytes <= DeviceLogLimits::bytesPerSecond;
    if (admitted) {
        ++window.lines;
        window.bytes += bytes;
    } else {
        ++window.dropped;
    }
    senders_.push_back(window);
    return admitted;
}

std::vector<DroppedLines> LogThrottle::takeDropped(Date now) {
    auto second = wholeSecond(now);
    std::vector<DroppedLines> taken;
    for (auto& window : senders_) {
        moveTo(window, std::max(second, window.second));
        if (window.droppedBefore == 0) continue;
        taken.push_back({window.sender, window.droppedBefore});
        window.droppedBefore = 0;
    }
    return taken;
}

std::string droppedLinesText(std::uint32_t count) {
    return std::to_string(count) + (count == 1 ? " line dropped" : " lines dropped");
}

}  // namespace anvil
