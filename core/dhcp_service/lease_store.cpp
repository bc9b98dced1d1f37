#include "core/dhcp_service/lease_store.hpp"

#include <asio.hpp>
#include <chrono>
#include <optional>
#include <utility>

#include "core/events/serial_queue_state.hpp"
#include "core/leases/lease_file_error.hpp"
#include "core/leases/lease_file_lock.hpp"
#include "core/leases/lease_journal.hpp"
#include "core/dhcp_service/compaction_schedule.hpp"

namespace anvil {

namespace {

// When to compact is CompactionSchedule's: a quiet moment, a journal grown larger than its
// snapshot (LeaseJournal::isLarge), or records the snapshot has lacked for too long.
constexpr auto compactionCheckInterval = std::chrono::seconds(1);
// How long changes no reply waits for wait for a reply's flush to share.
constexpr auto lingerBeforeFlush = std::chrono::milliseconds(20);
// Unflushed records kept while the disk refuses them; beyond this they are dropped and the next
// compaction writes the whole table instead, so a full disk costs neither memory nor per-commit work.
constexpr std::size_t largestUnflushedBacklog = 4 << 20;

}  // namespace

struct LeaseStore::Impl : std::enable_shared_from_this<LeaseStore::Impl> {
    LeaseFile file;
    asio::io_context& context;
    Reported reported;
    std::function<CompactionSchedule::Clock::time_point()> clock;
    LeaseJournal::Seams journalSeams;
    // Flushes and journal switches run here, one at a time, off the owner's queue. Measured on a
    // virtual disk: an fdatasync issued from the owner's queue took 3.5 ms at the median against
    // 0.2 ms here, which outweighs the two wake-ups of the hand-off.
    SerialQueue journalQueue{"dhcpanvil.journal"};
    // The steps of a compaction that write the new snapshot and rename files run here.
    SerialQueue leaseQueue{"dhcpanvil.leases"};

    std::optional<LeaseFileLock> fileLock;
    // False until open(), and after abandon(): nothing is written.
    bool writable = false;
    // What the file holds once everything recorded is flushed: each change applied as a reload
    // replays it. Compactions write it.
    LeaseTable table;
    // None after a failure to open it: the next save tries again with a whole snapshot.
    std::shared_ptr<LeaseJournal> journal;
    CompactionSchedule schedule;
    // Records were dropped (the disk was full) or never had a journal: only a whole snapshot
    // saves them. Commits meanwhile answer "not on disk" at once.
    bool snapshotNeeded = false;
    // The compaction whose copy of the table holds what was dropped.
    std::shared_ptr<LeaseJournal::Compaction> repairing;

    // The one piece of work out on the journal queue: a flush with the answers waiting for it,
    // or the switch of a compaction to its next journal.
    struct JournalWork {
        LeaseJournal::Batch batch;
        std::vector<Answer> answers;
        std::vector<OnDisk> onDisk;
        std::shared_ptr<LeaseJournal::Compaction> switching;
        std::string failure;
    };
    std::shared_ptr<JournalWork> journalWork;
    // Commits waiting for the next flush.
    std::vector<Answer> waiting;
    std::vector<OnDisk> waitingOnDisk;
    // Records that lingered while the journal queue was busy: flushed when it is free.
    bool flushWhenFree = false;
    // Groups recorded while a switch is out, when the journal must not be touched here.
    std::vector<std::vector<TableChange>> deferred;

    // A step of a compaction is out on the lease queue.
    bool compactionStepOut = false;
    // Bumped at close and abandon: answers of earlier work are then ignored.
    std::uint64_t generation = 0;
    // A prepared compaction waits for the flush out to end before the journal switches.
    std::shared_ptr<LeaseJournal::Compaction> switchWaiting;

    std::optional<asio::steady_timer> compactionTimer;
    std::optional<asio::steady_timer> lingerTimer;

    Impl(LeaseFile file, SerialQueue& owner, Reported reported, Seams seams)
        : file(std::move(file)),
          context(owner.state().context),
          reported(std::move(reported)),
          clock(seams.clock ? std::move(seams.clock) : CompactionSchedule::Clock::now),
          journalSeams(std::move(seams.journal)) {}

    std::weak_ptr<Impl> weak() { return weak_from_this(); }
    CompactionSchedule::Clock::time_point now() const { return clock(); }

    // Runs `work` on `queue`, then `answer` back on the owner's queue unless the store was closed
    // or abandoned meanwhile.
    void roundTrip(SerialQueue& queue, std::function<void()> work, std::function<void(Impl&)> answer) {
        queue.async([weak = weak(), context = &context, current = generation, work = std::move(work),
                     answer = std::move(answer)] {
            work();
            asio::post(*context, [weak, current, answer] {
                auto store = weak.lock();
                if (store && store->generation == current) answer(*store);
            });
        });
    }

    std::optional<std::string> lock() {
        if (fileLock) return std::nullopt;
        // Once, before the lock: from here on every file is the real one's neighbour.
        file = LeaseFile::resolve(file.url);
        try {
            fileLock.emplace(LeaseFileLock::acquire(file.url));
        } catch (const LeaseFileError& error) {
            if (error.kind == LeaseFileError::Kind::unsafe) throw;
            return error.description();
        }
        return std::nullopt;
    }

    void open(const LeaseTable& loaded) {
        table = loaded;
        table.takeChanges();
        writable = true;
        save();
        compactionTimer.emplace(context, compactionCheckInterval);
        tick();
    }

    void record(const std::vector<TableChange>& changes, Flush flush) {
        if (!writable || changes.empty()) return;
        for (const auto& change : changes) apply(table, change);
        table.takeChanges();
        if (!journal) {
            // The next save writes the whole table; changes no reply waits for must not wait for one.
            schedule.snapshotNeeded(now());
            if (flush == Flush::soon) linger();
            return;
        }
        if (snapshotNeeded) return;  // the next compaction writes them
        if (isSwitching())
            deferred.push_back(changes);
        else
            journal->record(changes);
        if (flush == Flush::soon) linger();
    }

    bool isSwitching() const { return journalWork && journalWork->switching; }

    // A synchronous save: the records since the last flush, or without a journal the whole table.
    bool save() {
        if (journal && snapshotNeeded) return false;  // the dropped records wait for a compaction
        try {
            if (journal) {
                bool flushing = journal->hasUnflushed();
                journal->flush();
                if (flushing) schedule.flushed(now());
            } else {
                journal = LeaseJournal::open(file, table, journalSeams);
                // The whole table is the snapshot now: nothing dropped waits any longer.
                snapshotNeeded = false;
                repairing.reset();
                schedule.started();
                schedule.succeeded();
            }
        } catch (const std::exception& error) {
            reported({Report::Kind::saveFailed, error.what()});
            return false;
        }
        reported({Report::Kind::saved, {}});
        return true;
    }

    // Opens the journal again, whole table first, when it could not be opened before.
    void reopen() {
        if (!journal && !save()) schedule.failed(now());
    }

    void commit(Answer answer, OnDisk onDisk) {
        if (!writable) {
            answer(false);
            return;
        }
        if (!journal) {
            answer(save());
            return;
        }
        if (snapshotNeeded) {
            answer(false);
            return;
        }
        waiting.push_back(std::move(answer));
        if (onDisk) waitingOnDisk.push_back(std::move(onDisk));
        if (!journalWork) startFlush();
    }

    // One flush for every commit waiting; they are answered when it ends, in order.
    void startFlush() {
        auto answers = std::exchange(waiting, {});
        auto onDisk = std::exchange(waitingOnDisk, {});
        flushWhenFree = false;
        auto batch = journal->takeUnflushed();
        if (batch.bytes.empty()) {
            for (auto& answer : answers) answer(true);
            return;
        }
        auto work = std::make_shared<JournalWork>();
        work->batch = std::move(batch);
        work->answers = std::move(answers);
        work->onDisk = std::move(onDisk);
        sendToJournal(work);
    }

    void startSwitch(std::shared_ptr<LeaseJournal::Compaction> compaction) {
        auto work = std::make_shared<JournalWork>();
        work->switching = std::move(compaction);
        sendToJournal(work);
    }

    void sendToJournal(const std::shared_ptr<JournalWork>& work) {
        journalWork = work;
        roundTrip(
            journalQueue,
            [work, writer = journal] {
                try {
                    if (work->switching)
                        writer->switchTo(*work->switching);
                    else
                        writer->write(work->batch);
                } catch (const std::exception& error) {
                    work->failure = error.what();
                }
                if (work->failure.empty())
                    for (const auto& onDisk : work->onDisk) onDisk();
            },
            [work](Impl& store) {
                if (store.journalWork != work) return;  // already settled by a wait
                store.settle(work);
                store.journalFree();
            });
    }

    // Waits for the work out on the journal queue, as if it had ended on this queue.
    void awaitJournal() {
        if (!journalWork) return;
        journalQueue.sync([] {});
        settle(journalWork);
    }

    void settle(std::shared_ptr<JournalWork> work) {
        journalWork.reset();
        if (work->switching) {
            for (const auto& changes : std::exchange(deferred, {})) journal->record(changes);
            if (!work->failure.empty())
                compactionAbandoned(work->switching, work->failure);
            else
                finishCompaction(work->switching);
            return;
        }
        bool onDisk = work->failure.empty();
        if (onDisk) {
            journal->written(work->batch);
            schedule.flushed(now());
            reported({Report::Kind::saved, {}});
        } else {
            // Written again with the next commit, as a failed save was retried at the next change.
            journal->unwritten(work->batch);
            reported({Report::Kind::saveFailed, work->failure});
            if (journal->unflushedBytes() > largestUnflushedBacklog) {
                journal->dropUnflushed();
                snapshotNeeded = true;
                schedule.snapshotNeeded(now());
            }
        }
        for (auto& answer : work->answers) answer(onDisk);
    }

    void journalFree() {
        if (!journal) return;
        // An answer may have committed again, and its flush is out already.
        if (!journalWork) {
            if (auto compaction = std::exchange(switchWaiting, nullptr)) {
                startSwitch(std::move(compaction));
                return;
            }
            if (!waiting.empty() || flushWhenFree) startFlush();
        }
        // While flushes keep coming, the size and lag rules start a compaction; the quiet rule
        // cannot hold right after a flush.
        if (schedule.isDue(now(), journal->isLarge())) compact();
    }

    // Records no reply waits for are flushed a moment later, so that they share the flush of the
    // next reply when devices keep coming.
    void linger() {
        if (lingerTimer) return;
        lingerTimer.emplace(context, lingerBeforeFlush);
        lingerTimer->async_wait([weak = weak()](const asio::error_code& error) {
            if (error) return;  // cancelled: the timer may already be gone
            auto store = weak.lock();
            if (!store || !store->lingerTimer) return;
            store->lingerTimer.reset();
            if (!store->journal) {
                store->reopen();
                return;
            }
            if (store->journalWork)
                store->flushWhenFree = true;
            else if (store->journal->hasUnflushed())
                store->startFlush();
        });
    }

    void commitNow() {
        if (!writable) return;
        awaitJournal();
        bool onDisk = save();
        waitingOnDisk.clear();
        for (auto& answer : std::exchange(waiting, {})) answer(onDisk);
        journalFree();
    }

    // Compaction: a copy of the table becomes the snapshot on the lease queue while commits go
    // on; the journal switches to its next generation on the journal queue, between two flushes.
    void tick() {
        compactionTimer->async_wait([weak = weak()](const asio::error_code& error) {
            if (error) return;
            auto store = weak.lock();
            if (!store || !store->compactionTimer) return;
            store->compactIfDue();
            store->compactionTimer->expires_at(store->compactionTimer->expiry() + compactionCheckInterval);
            store->tick();
        });
    }

    void compactIfDue() {
        if (!schedule.isDue(now(), journal && journal->isLarge())) return;
        if (!journal)
            reopen();
        else if (!isSwitching())
            compact();
    }

    void compactionFailed(const std::string& failure) {
        if (schedule.failed(now())) reported({Report::Kind::notRewritten, failure});
    }

    // The compaction's copy is on disk as leases.json.
    void compactionSucceeded(const std::shared_ptr<LeaseJournal::Compaction>& compaction) {
        if (schedule.succeeded()) reported({Report::Kind::rewritten, {}});
        if (repairing == compaction) {
            repairing.reset();
            // What was dropped is saved now, unless more was dropped meanwhile.
            if (!snapshotNeeded) reported({Report::Kind::saved, {}});
        }
        if (snapshotNeeded) schedule.snapshotNeeded(now());
    }

    // A compaction given up before its switch: what it was to save still needs a snapshot.
    void compactionAbandoned(const std::shared_ptr<LeaseJournal::Compaction>& compaction,
                             const std::string& failure) {
        if (repairing == compaction) {
            repairing.reset();
            journal->dropUnflushed();
            snapshotNeeded = true;
            schedule.snapshotNeeded(now());
        }
        compactionFailed(failure);
    }

    void compact() {
        if (!journal || compactionStepOut || isSwitching()) return;
        if (journal->awaitsFinish()) {
            finishCompaction(journal->pendingFinish());
            return;
        }
        if (journal->isCompacting()) return;
        auto compaction = journal->beginCompaction(table);
        schedule.started();
        if (std::exchange(snapshotNeeded, false)) repairing = compaction;
        onLeaseQueue(compaction, LeaseJournal::prepare, [compaction](Impl& store, const std::string& failure) {
            if (!failure.empty()) {
                store.journal->settle(*compaction, false);
                store.compactionAbandoned(compaction, failure);
            } else if (store.journalWork) {
                store.switchWaiting = compaction;
            } else {
                store.startSwitch(compaction);
            }
        });
    }

    void finishCompaction(const std::shared_ptr<LeaseJournal::Compaction>& compaction) {
        onLeaseQueue(compaction, LeaseJournal::finish, [compaction](Impl& store, const std::string& failure) {
            store.journal->settle(*compaction, failure.empty());
            if (failure.empty())
                store.compactionSucceeded(compaction);
            else
                store.compactionFailed(failure);
        });
    }

    using Step = void (*)(LeaseJournal::Compaction&);
    using StepEnded = std::function<void(Impl&, const std::string& failure)>;

    void onLeaseQueue(std::shared_ptr<LeaseJournal::Compaction> compaction, Step step, StepEnded ended) {
        compactionStepOut = true;
        auto failure = std::make_shared<std::string>();
        roundTrip(
            leaseQueue,
            [compaction, step, failure] {
                try {
                    step(*compaction);
                } catch (const std::exception& error) {
                    *failure = error.what();
                }
            },
            [failure, ended](Impl& store) {
                if (!store.journal) return;
                store.compactionStepOut = false;
                ended(store, *failure);
            });
    }

    void close() {
        stopTimers();
        if (!writable) return;
        awaitJournal();
        bool onDisk = save();
        waitingOnDisk.clear();
        for (auto& answer : std::exchange(waiting, {})) answer(onDisk);
        if (!journal) return;
        // Let a step under way on the lease queue end; its answer is then ignored.
        ++generation;
        compactionStepOut = false;
        switchWaiting.reset();
        leaseQueue.sync([] {});
        try {
            journal->compactNow(table);
        } catch (const std::exception& error) {
            reported({Report::Kind::saveFailed, error.what()});
        }
        // A save after this writes a whole snapshot again.
        journal.reset();
    }

    void abandon() {
        stopTimers();
        writable = false;
        ++generation;
        journalQueue.sync([] {});
        leaseQueue.sync([] {});
        journalWork.reset();
        waiting.clear();
        waitingOnDisk.clear();
        journal.reset();
        fileLock.reset();
    }

    void stopTimers() {
        compactionTimer.reset();
        lingerTimer.reset();
    }
};

LeaseStore::LeaseStore(LeaseFile file, SerialQueue& owner, Reported reported, Seams seams)
    : impl_(std::make_shared<Impl>(std::move(file), owner, std::move(reported), std::move(seams))) {}

LeaseStore::~LeaseStore() = default;

std::optional<std::string> LeaseStore::lock() { return impl_->lock(); }

const LeaseFile& LeaseStore::file() const { return impl_->file; }
void LeaseStore::open(const LeaseTable& loaded) { impl_->open(loaded); }
void LeaseStore::record(const std::vector<TableChange>& changes, Flush flush) { impl_->record(changes, flush); }
void LeaseStore::commit(Answer answer, OnDisk onDisk) { impl_->commit(std::move(answer), std::move(onDisk)); }
void LeaseStore::commitNow() { impl_->commitNow(); }
void LeaseStore::close() { impl_->close(); }
void LeaseStore::abandon() { impl_->abandon(); }

}  // namespace anvil
