#pragma once
// When the lease store writes a new leases.json: after a quiet moment, when the journal grew
// large, or when its oldest record missing from the snapshot is too old; and after failures, no
// sooner than a delay that doubles from a second to five minutes. Values in, values out.
#include <algorithm>
#include <chrono>
#include <utility>

namespace anvil {

class CompactionSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // A snapshot is written once the journal has had no change for this long.
    static constexpr Clock::duration quietBeforeCompaction = std::chrono::seconds(2);
    // Under steady traffic leases.json is never further behind the journal than this.
    static constexpr Clock::duration longestSnapshotLag = std::chrono::seconds(30);
    static constexpr Clock::duration firstRetryDelay = std::chrono::seconds(1);
    static constexpr Clock::duration longestRetryDelay = std::chrono::minutes(5);

    // Records reached the journal.
    void flushed(Clock::time_point now) {
        lastFlush_ = now;
        oldestMissing_ = std::min(oldestMissing_, now);
        if (copyTaken_) oldestAfterCopy_ = std::min(oldestAfterCopy_, now);
    }
    // Changes were recorded that no journal holds: only a compaction can keep them. The disk has
    // just refused a write, so it is tried a moment later.
    void snapshotNeeded(Clock::time_point now) {
        oldestMissing_ = std::min(oldestMissing_, now);
        lastFlush_ = std::min(lastFlush_, now - quietBeforeCompaction);
        retryAt_ = std::max(retryAt_, now + firstRetryDelay);
    }
    // The compaction's copy of the table is taken: it holds everything until now.
    void started() {
        copyTaken_ = true;
        oldestAfterCopy_ = none;
    }
    // True when this ends a run of failures.
    bool succeeded() {
        copyTaken_ = false;
        oldestMissing_ = std::exchange(oldestAfterCopy_, none);
        retryAt_ = {};
        return std::exchange(failures_, 0) > 0;
    }
    // True for the first failure of a run: the one worth a line. A copy already in the next
    // journal's place stays taken: retrying the renames puts it in place.
    bool failed(Clock::time_point now) {
        ++failures_;
        retryAt_ = now + retryDelay(failures_);
        return failures_ == 1;
    }

    bool isDue(Clock::time_point now, bool journalLarge) const {
        if (oldestMissing_ == none || now < retryAt_) return false;
        return journalLarge || now - lastFlush_ >= quietBeforeCompaction ||
               now - oldestMissing_ >= longestSnapshotLag;
    }
    bool isFailing() const { return failures_ > 0; }

    // The wait before the attempt after `failures` failures in a row.
    static constexpr Clock::duration retryDelay(int failures) {
        Clock::duration delay = firstRetryDelay;
        for (int count = 1; count < failures && delay < longestRetryDelay; ++count) delay *= 2;
        return std::min(delay, longestRetryDelay);
    }

private:
    static constexpr Clock::time_point none = Clock::time_point::max();

    Clock::time_point lastFlush_{};
    // The time of the first flush the snapshot lacks.
    Clock::time_point oldestMissing_ = none;
    Clock::time_point oldestAfterCopy_ = none;
    bool copyTaken_ = false;
    int failures_ = 0;
    Clock::time_point retryAt_{};
};

}  // namespace anvil
