#pragma once
// The writing side of the lease file for a running server: group commits appended to the
// journal and flushed once, and compactions that write a new snapshot from a copy of the table
// while the journal goes on in its next generation.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/leases/lease_disk.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/table_change.hpp"

namespace anvil {

// The moments between the steps of a compaction, in order; a crash at any of them loads the
// state of the last flushed commit.
enum class CompactionStep {
    snapshotWritten,     // the new snapshot is flushed under a temporary name
    nextJournalCreated,  // the next journal, naming the new snapshot, is flushed
    journalSwitched,     // commits now go to the next journal
    snapshotReplaced,    // leases.json is the new snapshot
    journalReplaced,     // the next journal is now the journal
};

class LeaseJournal {
public:
    // A compaction under way: made on the server's queue, prepared and finished elsewhere.
    struct Compaction;

    // Seams for tests; by default nothing is told.
    struct Seams {
        // Called at each step of a compaction, on the thread that takes it, so that tests can stop
        // or end the process there.
        std::function<void(CompactionStep)> stepReached;
        // Told of each flush of the journal files.
        LeaseDisk::OffsetFile::Flushed flushed;
    };

    // Settles what an interrupted compaction left, writes the table as the snapshot and opens an
    // empty journal after it. Throws LeaseFileError.
    static std::unique_ptr<LeaseJournal> open(const LeaseFile& file, const LeaseTable& table, Seams seams = {});
    ~LeaseJournal();

    // Records what changed as one group, applied whole or not at all on load; written at the
    // next flush.
    void record(const std::vector<TableChange>& changes);
    bool hasUnflushed() const { return !unflushed_.empty(); }
    std::size_t unflushedBytes() const { return unflushed_.size(); }
    // Forgets what was recorded and not flushed: only a compaction, which writes the whole table,
    // may follow.
    void dropUnflushed();
    // Appends what was recorded and flushes once. Throws LeaseFileError; the records are kept
    // and written again at the next flush.
    void flush();

    // The same in three steps, so that the writing can happen on another thread while more is
    // recorded: one batch at a time, and no switch of generation while one is out.
    struct Batch {
        std::string bytes;  // the records, then their footer
        std::uint64_t offset = 0;
        std::size_t recordsLength = 0;
    };
    Batch takeUnflushed();
    // Any thread. Throws LeaseFileError.
    void write(const Batch& batch);
    void written(Batch& batch);
    // The batch failed: its records are written again, first, at the next flush.
    void unwritten(Batch& batch);

    // The journal outgrew the snapshot (or a floor for small tables): time to compact.
    bool isLarge() const;
    // Records were flushed since the last snapshot.
    bool hasChangesSinceSnapshot() const { return length_ > firstRecordOffset_; }
    bool isCompacting() const { return compaction_ != nullptr; }

    // Step 1, on the writer's queue: a copy of the table, once everything recorded is flushed.
    std::shared_ptr<Compaction> beginCompaction(const LeaseTable& table);
    // Step 2, anywhere: the snapshot under a temporary name and the next journal. Throws.
    static void prepare(Compaction& compaction);
    // Step 3, on the writer's queue: the records flushed since step 1 are copied to the next
    // journal, and commits go there from now on. Throws; the compaction is then given up.
    void switchTo(Compaction& compaction);
    // Step 4, anywhere: the snapshot and the journal take their names. Throws; may be retried.
    static void finish(Compaction& compaction);
    // Back on the writer's queue after step 4 (or a failure of any step).
    void settle(Compaction& compaction, bool finished);
    // The last compaction's step 4 failed and must be retried before another one starts.
    bool awaitsFinish() const { return compaction_ && awaitingFinish_; }
    std::shared_ptr<Compaction> pendingFinish() const { return compaction_; }

    // All four steps at once, on the writer's queue, after finishing or giving up one left under
    // way. Throws LeaseFileError.
    void compactNow(const LeaseTable& table);

private:
    LeaseJournal(LeaseFile file, Seams seams) : file_(std::move(file)), seams_(std::move(seams)) {}
    void adopt(Compaction& compaction);

    LeaseFile file_;
    Seams seams_;
    LeaseDisk::OffsetFile journal_;
    std::uint64_t length_ = 0;
    std::uint64_t firstRecordOffset_ = 0;
    std::uint64_t snapshotLength_ = 0;
    std::uint64_t nextSequence_ = 1;
    std::string unflushed_;
    std::shared_ptr<Compaction> compaction_;
    bool awaitingFinish_ = false;
};

}  // namespace anvil
