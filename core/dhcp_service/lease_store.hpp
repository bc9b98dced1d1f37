#pragma once
// Keeps a running server's leases on disk: the journal of its changes, group commits flushed off
// the server's queue, and compactions into a new leases.json. It says nothing itself: what the
// user must hear of comes back as a report for the server to turn into notices.
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/events/serial_queue.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/lease_journal.hpp"
#include "core/leases/lease_table.hpp"
#include "core/leases/table_change.hpp"

namespace anvil {

class LeaseStore {
public:
    struct Report {
        enum class Kind {
            saved,         // records reached the disk
            saveFailed,    // they did not; kept and written again with the next commit
            notRewritten,  // compactions began to fail; the journal still holds everything
            rewritten,     // after failures, a compaction succeeded
        };
        Kind kind = Kind::saved;
        std::string failure;
    };
    using Reported = std::function<void(const Report&)>;
    // A commit's answer: whether the records recorded before it are on disk.
    using Answer = std::function<void(bool onDisk)>;

    // Seams for tests; by default the steady clock and a journal that tells nothing.
    struct Seams {
        // The clock for the rules of when to compact, so that tests pass time at will; read on
        // the owner's queue only.
        std::function<std::chrono::steady_clock::time_point()> clock;
        LeaseJournal::Seams journal;
    };

    // Every call comes from `owner`'s queue; reports and answers come back there, and none after
    // abandon().
    LeaseStore(LeaseFile file, SerialQueue& owner, Reported reported, Seams seams = {});
    ~LeaseStore();
    LeaseStore(const LeaseStore&) = delete;
    LeaseStore& operator=(const LeaseStore&) = delete;

    // Makes this process the lease file's one writer until abandon() or destruction: taken before
    // the file is read, once the file's path is resolved (LeaseFile::resolve). Throws
    // LeaseFileInUse when another holds it, and LeaseFileError (Kind::unsafe) when another user
    // could redirect the files or holds the lock file; a lock file that cannot be made is no
    // refusal (the saves then fail and say so), and why comes back for the server to say.
    std::optional<std::string> lock();
    // The lease file written: after lock(), the resolved one.
    const LeaseFile& file() const;
    // The table as loaded becomes the snapshot, with an empty journal. Without a call the store
    // writes nothing: the file could not be read and stays untouched.
    void open(const LeaseTable& loaded);

    enum class Flush {
        withNextCommit,
        soon,  // no reply waits for these; they share the next reply's flush if it comes at once
    };
    // One group of changes, applied whole or not at all on load.
    void record(const std::vector<TableChange>& changes, Flush flush = Flush::withNextCommit);
    // Runs on the store's flush thread the moment the flush that covers a commit is on disk,
    // before its answer: replies can leave then without waiting for the owner's queue.
    using OnDisk = std::function<void()>;
    // Everything recorded so far goes to disk in one flush shared with other commits; answers
    // come in call order.
    void commit(Answer answer, OnDisk onDisk = {});
    // Everything recorded is on disk (or failed) when this returns, earlier commits answered.
    void commitNow();
    // The last flush and a compaction: leases.json holds everything, the journal is empty.
    void close();
    // Drops what is under way without saving; waits for the store's queues.
    void abandon();

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace anvil
