#include "core/device_logs/console_assembly.hpp"

#include <algorithm>

#include "core/device_logs/device_log_limits.hpp"

namespace anvil {

ConsoleLine ConsoleAssembly::finish(Partial& partial) {
    if (partial.text.ends_with('\r')) partial.text.pop_back();
    return {partial.sender, std::move(partial.text), partial.cut};
}

std::vector<ConsoleLine> ConsoleAssembly::receive(const LogSender& sender, std::string_view datagram, Date now) {
    std::vector<ConsoleLine> lines;
    auto found = std::find_if(partials_.begin(), partials_.end(), [&](const Partial& p) { return p.sender == sender; });
    Partial partial = found != partials_.end() ? std::move(*found) : Partial{sender, {}, now};
    if (found != partials_.end()) partials_.erase(found);
    while (!datagram.empty()) {
        auto newline = datagram.find('\n');
        auto piece = datagram.substr(0, newline);
        if (!partial.skipping) {
            auto room = DeviceLogLimits::lineBytes - partial.text.size();
            partial.text.append(piece.substr(0, room));
            if (piece.size() > room) partial.cut = partial.skipping = true;
        }
        if (newline == std::string_view::npos) break;
        datagram.remove_prefix(newline + 1);
        if (!partial.skipping || partial.text.size() > 0) lines.push_back(finish(partial));
        partial = Partial{sender, {}, now};
    }
    // A line that reached the limit goes out at once; the entry stays only to skip the rest of it.
    if (partial.skipping && !partial.text.empty()) {
        lines.push_back(finish(partial));
        partial.text.clear();
    }
    if (partial.text.empty() && !partial.skipping) return lines;
    if (partials_.size() >= capacity_ && !partials_.empty()) {
        auto& oldest = partials_.front();
        if (!oldest.text.empty()) lines.insert(lines.begin(), finish(oldest));
        partials_.erase(partials_.begin());
    }
    partials_.push_back(std::move(partial));
    return lines;
}

std::vector<ConsoleLine> ConsoleAssembly::receive(const LogSender& sender, std::span<const std::uint8_t> datagram,
                                                  Date now) {
    return receive(sender, std::string_view(reinterpret_cast<const char*>(datagram.data()), datagram.size()), now);
}

std::vector<ConsoleLine> ConsoleAssembly::due(Date now) {
    std::vector<ConsoleLine> lines;
    std::erase_if(partials_, [&](Partial& partial) {
        if (now.secondsSince(partial.since) < DeviceLogLimits::partialLineSeconds) return false;
        if (!partial.text.empty()) lines.push_back(finish(partial));
        return true;
    });
    return lines;
}

std::optional<Date> ConsoleAssembly::nextDue() const {
    std::optional<Date> next;
    for (const auto& partial : partials_) {
        auto at = partial.since.addingSeconds(DeviceLogLimits::partialLineSeconds);
        if (!next || at < *next) next = at;
    }
    return next;
}

}  // namespace anvil
