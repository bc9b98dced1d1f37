#include "core/run/event_hand_over.hpp"

#include "core/dhcp/reply_kind.hpp"
#include "core/events/event_log.hpp"

namespace anvil {

namespace {

enum SubjectKind : int { runStart, runStop, lease, presence, notice, link, acknowledgement, transferProgress };

std::uint64_t number(const MACAddress& mac) {
    std::uint64_t value = 0;
    for (auto byte : mac.bytes) value = (value << 8) | byte;
    return value;
}

}  // namespace

EventHandOver::EventHandOver(bool logFileKeepsAll, std::size_t bound, std::function<void()> wake)
    : logFileKeepsAll_(logFileKeepsAll), bound_(bound), wake_(std::move(wake)) {}

std::string EventHandOver::missedText(std::size_t count, bool logFileKeepsAll) {
    std::string text = "\u2026 " + std::to_string(count) + (count == 1 ? " line" : " lines") + " not shown";
    if (logFileKeepsAll) text += "; the log file has them";
    return text;
}

std::optional<EventHandOver::Subject> EventHandOver::subjectOf(const ServerEvent& event) {
    if (event.is<ServerEvent::Started>()) return Subject{runStart, 0};
    if (event.is<ServerEvent::Stopped>()) return Subject{runStop, 0};
    if (const auto* changed = event.as<ServerEvent::LeaseChanged>()) return Subject{lease, number(changed->lease.mac)};
    if (const auto* removed = event.as<ServerEvent::LeaseRemoved>()) return Subject{lease, number(removed->mac)};
    if (const auto* seen = event.as<ServerEvent::Presence>()) return Subject{presence, seen->ip.value};
    if (const auto* raised = event.as<ServerEvent::NoticeRaised>())
        return Subject{notice, static_cast<std::uint64_t>(raised->notice.kind)};
    if (const auto* cleared = event.as<ServerEvent::NoticeCleared>())
        return Subject{notice, static_cast<std::uint64_t>(cleared->kind)};
    if (event.is<ServerEvent::Link>()) return Subject{link, 0};
    // Only the newest count of a transfer matters; at most a few transfers run at once.
    if (const auto* progress = event.as<ServerEvent::TFTPProgress>()) return Subject{transferProgress, progress->transfer};
    // The last binding reply (an ACK or a BOOTREPLY) names the device found; only the last one matters.
    if (const auto* sent = event.as<ServerEvent::Sent>(); sent && bindsAddress(sent->reply.type))
        return Subject{acknowledgement, 0};
    return std::nullopt;
}

void EventHandOver::dropLine(Date at) {
    ++missed_;
    if (marker_) return;
    entries_.push_back({RunEvent{ServerEvent::info({}), at, std::nullopt}, std::nullopt});
    marker_ = std::prev(entries_.end());
}

void EventHandOver::push(RunEvent item) {
    bool wakeReader = false;
    {
        std::lock_guard lock(mutex_);
        if (finished_) return;
        auto subject = subjectOf(item.event);
        auto found = subject ? latest_.find(*subject) : latest_.end();
        if (entries_.size() < bound_ || (subject && found == latest_.end())) {
            // Room, or a subject not waiting yet: subjects are few (leases, addresses, notice kinds).
            entries_.push_back({std::move(item), subject});
            if (subject) latest_[*subject] = std::prev(entries_.end());
        } else if (!subject) {
            dropLine(item.at);
        } else if (subject->first == acknowledgement) {
            // After every lease event already waiting, so the device's lease is known when it applies.
            if (found->second->item.line) dropLine(item.at);
            entries_.erase(found->second);
            entries_.push_back({std::move(item), subject});
            found->second = std::prev(entries_.end());
        } else {
            // In place: what followed the earlier event (an acknowledgement of that lease) still follows.
            if (found->second->item.line) dropLine(item.at);
            found->second->item = std::move(item);
        }
        wakeReader = !wakePending_;
        wakePending_ = true;
    }
    ready_.notify_one();
    if (wakeReader && wake_) wake_();
}

void EventHandOver::finish() {
    {
        std::lock_guard lock(mutex_);
        finished_ = true;
    }
    ready_.notify_all();
}

std::vector<RunEvent> EventHandOver::take() {
    std::unique_lock lock(mutex_);
    ready_.wait(lock, [&] { return !entries_.empty() || finished_; });
    return takeLocked();
}

std::vector<RunEvent> EventHandOver::takeReady() {
    std::lock_guard lock(mutex_);
    return takeLocked();
}

std::vector<RunEvent> EventHandOver::takeLocked() {
    std::vector<RunEvent> taken;
    taken.reserve(entries_.size());
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if (marker_ && entry == *marker_) {
            auto event = ServerEvent::info(missedText(missed_, logFileKeepsAll_));
            auto line = EventLog::line(event, entry->item.at);
            taken.push_back({std::move(event), entry->item.at, std::move(line)});
        } else {
            taken.push_back(std::move(entry->item));
        }
    }
    entries_.clear();
    latest_.clear();
    marker_.reset();
    missed_ = 0;
    wakePending_ = false;
    return taken;
}

std::size_t EventHandOver::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

bool EventHandOver::isFinished() const {
    std::lock_guard lock(mutex_);
    return finished_ && entries_.empty();
}

}  // namespace anvil
