#pragma once
// Where a run leaves its events for a front end that may fall behind (a paused terminal, a busy
// window). The one writer never waits. Beyond the bound, events that only make a log line are
// dropped and counted, and an event that carries state (leases, presence, notices, link, start and
// stop) replaces the waiting event with the same subject, so the front end still ends up with the
// latest of each; subjects are as few as the leases, addresses and notice kinds. The reader is told
// how many lines it missed, where they went missing.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/events/server_event.hpp"

namespace anvil {

// One event as the run received it: when, and its log line (none for a cleared notice).
struct RunEvent {
    ServerEvent event;
    Date at;
    std::optional<std::string> line;
};

class EventHandOver {
public:
    // A person reads a few lines a second: two thousand waiting lines are minutes of reading, so a
    // front end that far behind gains nothing from more, and the log file keeps them all anyway.
    static constexpr std::size_t defaultBound = 2000;

    // `logFileKeepsAll` says whether the missed-lines text may point to the log file. `wake` is
    // called from the writer's thread when events start waiting and the reader has not been told
    // since it last took: at most one call is outstanding.
    explicit EventHandOver(bool logFileKeepsAll, std::size_t bound = defaultBound, std::function<void()> wake = {});

    // Never waits.
    void push(RunEvent item);
    // No more events come; a waiting reader wakes.
    void finish();

    // Everything waiting, in order, once something waits; empty when finished and drained.
    std::vector<RunEvent> take();
    // Everything waiting now, possibly nothing; arms `wake` again.
    std::vector<RunEvent> takeReady();

    std::size_t size() const;
    bool isFinished() const;

    // "… 312 lines not shown; the log file has them", or without the file's clause when there is none.
    static std::string missedText(std::size_t count, bool logFileKeepsAll);

private:
    // A subject whose latest event is all a front end needs: kind of subject, and which one.
    using Subject = std::pair<int, std::uint64_t>;
    struct Entry {
        RunEvent item;
        std::optional<Subject> subject;
    };

    static std::optional<Subject> subjectOf(const ServerEvent& event);
    std::vector<RunEvent> takeLocked();
    void dropLine(Date at);

    const bool logFileKeepsAll_;
    const std::size_t bound_;
    const std::function<void()> wake_;

    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::list<Entry> entries_;
    // The latest waiting entry of each subject.
    std::map<Subject, std::list<Entry>::iterator> latest_;
    // Where the missed lines were: one marker, counting every line lost since the last take.
    std::optional<std::list<Entry>::iterator> marker_;
    std::size_t missed_ = 0;
    bool wakePending_ = false;
    bool finished_ = false;
};

}  // namespace anvil
