#pragma once
// The run's one stream of events and the notices raised on it, whichever service raised them, so
// that a notice is cleared once and only when it stands.
#include <memory>
#include <set>

#include "core/events/event_stream.hpp"
#include "core/events/notice.hpp"
#include "core/events/server_event.hpp"

namespace anvil {

class NoticeBoard {
public:
    using Events = EventStream<ServerEvent>;

    explicit NoticeBoard(std::shared_ptr<Events> events) : events_(std::move(events)) {}

    // A raised notice is remembered as it goes out, whoever made the event.
    void emit(ServerEvent event) {
        if (auto notice = event.as<ServerEvent::NoticeRaised>()) raised_.insert(notice->notice.kind);
        events_->yield(std::move(event));
    }
    void raise(Notice notice) { emit(ServerEvent::noticeRaised(std::move(notice))); }
    void clear(NoticeKind kind) {
        if (raised_.erase(kind)) events_->yield(ServerEvent::noticeCleared(kind));
    }
    void finish() { events_->finish(); }

private:
    std::shared_ptr<Events> events_;
    std::set<NoticeKind> raised_;
};

}  // namespace anvil
