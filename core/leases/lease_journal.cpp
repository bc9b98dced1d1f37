#include "core/leases/lease_journal.hpp"

#include <algorithm>
#include <utility>

#include "core/addressing/private_files.hpp"
#include "core/leases/journal_format.hpp"
#include "core/leases/lease_file_format.hpp"

namespace anvil {

namespace fs = std::filesystem;

namespace {

// Below this the journal is not compacted for its size: replaying a megabyte at start takes
// milliseconds, and rewriting a small snapshot at every few commits would double the writes.
constexpr std::uint64_t journalFloor = 1 << 20;
// The journal's blocks are allocated this far ahead of its end.
constexpr std::uint64_t journalReserveStep = 1 << 20;

// What an interrupted compaction left: a next journal that must become the journal (its
// snapshot is in place), or whose records must join the journal (its snapshot never was).
void settleLeftovers(const LeaseFile& file, const LeaseDisk::OffsetFile::Flushed& flushed) {
    auto nextBytes = LeaseDisk::read(file.nextJournalURL());
    if (!nextBytes) return;
    auto next = JournalFormat::scan(*nextBytes);
    auto snapshot = LeaseDisk::read(file.url);
    auto identity =
        JournalFormat::SnapshotIdentity::of(snapshot ? std::optional<std::string_view>(*snapshot) : std::nullopt);
    if (next.header && next.header->snapshot == identity) {
        LeaseDisk::rename(file.nextJournalURL(), file.journalURL());
        LeaseDisk::syncDirectory(file.url);
        return;
    }
    auto currentBytes = LeaseDisk::read(file.journalURL());
    auto current = currentBytes ? JournalFormat::scan(*currentBytes) : JournalFormat::Scan{};
    if (!next.entries.empty() && current.header && current.outcome != JournalFormat::Scan::Outcome::damaged) {
        std::uint64_t last = current.entries.empty() ? current.header->baseSequence : current.entries.back().sequence;
        std::string carried;
        std::vector<const JournalFormat::Entry*> following;
        for (const auto& entry : next.entries)
            if (entry.sequence > last) following.push_back(&entry);
        for (std::size_t index = 0; index < following.size(); ++index)
            JournalFormat::appendRecord(carried, following[index]->sequence, following[index]->change,
                                        index + 1 == following.size());
        if (!carried.empty() && current.header->batchFooters)
            JournalFormat::appendFooter(carried, following.back()->sequence, carried.size());
        if (!carried.empty()) {
            auto journal = LeaseDisk::OffsetFile::openExisting(file.journalURL(), flushed);
            journal.truncate(current.validLength);
            journal.writeAt(current.validLength, carried);
            journal.flush();
        }
    }
    LeaseDisk::removeQuietly(file.nextJournalURL());
    LeaseDisk::syncDirectory(file.url);
}

// Snapshots and next journals a stopped compaction wrote under a temporary name and never put in place.
void removeStaleSnapshots(const LeaseFile& file) {
    std::string prefix = ".";
    prefix.append(file.url.filename().string()).append(".tmp-");
    std::string nextPrefix = ".";
    nextPrefix.append(file.nextJournalURL().filename().string()).append(".tmp-");
    std::error_code error;
    for (const auto& entry :
         fs::directory_iterator(file.url.parent_path().empty() ? fs::path(".") : file.url.parent_path(), error)) {
        auto name = entry.path().filename().string();
        if (name.starts_with(prefix) || name.starts_with(nextPrefix)) LeaseDisk::removeQuietly(entry.path());
    }
}

}  // namespace

struct LeaseJournal::Compaction {
    Compaction(LeaseFile file, LeaseTable table, std::uint64_t baseSequence, Seams seams)
        : file(std::move(file)), table(std::move(table)), baseSequence(baseSequence), seams(std::move(seams)) {}

    void reached(CompactionStep step) const {
        if (seams.stepReached) seams.stepReached(step);
    }

    LeaseFile file;
    LeaseTable table;
    std::uint64_t baseSequence = 0;
    // A copy of the journal's: prepare and finish take their steps without it.
    Seams seams;

    // Prepared.
    fs::path snapshotTemporary;
    std::uint64_t snapshotLength = 0;
    LeaseDisk::OffsetFile next;
    std::uint64_t nextLength = 0;

    // Flushed to the old journal after the copy was taken; they go to the next one.
    std::string carried;
    bool switched = false;
    bool snapshotReplaced = false;
    bool journalReplaced = false;
};

std::unique_ptr<LeaseJournal> LeaseJournal::open(const LeaseFile& file, const LeaseTable& table, Seams seams) {
    fs::path directory = file.url.parent_path();
    LeaseDisk::createDirectories(directory.empty() ? fs::path(".") : directory);
    settleLeftovers(file, seams.flushed);
    removeStaleSnapshots(file);
    std::unique_ptr<LeaseJournal> journal(new LeaseJournal(file, std::move(seams)));
    journal->compactNow(table);
    return journal;
}

LeaseJournal::~LeaseJournal() = default;

void LeaseJournal::record(const std::vector<TableChange>& changes) {
    for (std::size_t index = 0; index < changes.size(); ++index)
        JournalFormat::appendRecord(unflushed_, nextSequence_++, changes[index], index + 1 == changes.size());
}

void LeaseJournal::flush() {
    if (unflushed_.empty()) return;
    auto batch = takeUnflushed();
    try {
        write(batch);
    } catch (...) {
        unwritten(batch);
        throw;
    }
    written(batch);
}

LeaseJournal::Batch LeaseJournal::takeUnflushed() {
    Batch batch{std::exchange(unflushed_, {}), length_, 0};
    batch.recordsLength = batch.bytes.size();
    // In the same write as the records: a load keeps a batch only when its footer is whole.
    if (!batch.bytes.empty()) JournalFormat::appendFooter(batch.bytes, nextSequence_ - 1, batch.recordsLength);
    return batch;
}

void LeaseJournal::write(const Batch& batch) {
    // Written where the last good flush ended, so a failed write leaves nothing behind it.
    journal_.reserve(batch.offset + batch.bytes.size(), journalReserveStep);
    journal_.writeAt(batch.offset, batch.bytes);
    journal_.flush();
}

void LeaseJournal::written(Batch& batch) {
    length_ += batch.bytes.size();
    // A compaction under way copies these to the next journal when it switches.
    if (compaction_ && !compaction_->switched) compaction_->carried += batch.bytes;
}

void LeaseJournal::unwritten(Batch& batch) {
    // The footer goes: the records are written again with those recorded since, under one footer.
    batch.bytes.resize(batch.recordsLength);
    batch.bytes += unflushed_;
    unflushed_ = std::move(batch.bytes);
}

void LeaseJournal::dropUnflushed() { unflushed_ = std::string(); }

bool LeaseJournal::isLarge() const {
    return length_ - firstRecordOffset_ > std::max<std::uint64_t>(snapshotLength_, journalFloor);
}

std::shared_ptr<LeaseJournal::Compaction> LeaseJournal::beginCompaction(const LeaseTable& table) {
    auto compaction = std::make_shared<Compaction>(file_, table, nextSequence_ - 1, seams_);
    compaction_ = compaction;
    awaitingFinish_ = false;
    return compaction;
}

void LeaseJournal::prepare(Compaction& compaction) {
    const auto& file = compaction.file;
    auto bytes = LeaseFileFormat::encode(compaction.table);
    compaction.snapshotLength = bytes.size();
    compaction.snapshotTemporary = LeaseDisk::writeTemporary(file.url, bytes);
    compaction.reached(CompactionStep::snapshotWritten);
    try {
        auto header =
            JournalFormat::encodeHeader({JournalFormat::SnapshotIdentity::of(bytes), compaction.baseSequence});
        compaction.next = LeaseDisk::OffsetFile::create(
            file.nextJournalURL(), header, PrivateFiles::modeOf(file.journalURL()), compaction.seams.flushed);
        compaction.nextLength = header.size();
        LeaseDisk::syncDirectory(file.url);
    } catch (...) {
        LeaseDisk::removeQuietly(compaction.snapshotTemporary);
        LeaseDisk::removeQuietly(file.nextJournalURL());
        throw;
    }
    compaction.reached(CompactionStep::nextJournalCreated);
}

void LeaseJournal::adopt(Compaction& compaction) {
    std::string bytes = compaction.carried + unflushed_;
    if (!unflushed_.empty()) JournalFormat::appendFooter(bytes, nextSequence_ - 1, unflushed_.size());
    if (!bytes.empty()) {
        compaction.next.writeAt(compaction.nextLength, bytes);
        compaction.next.flush();
        compaction.nextLength += bytes.size();
    }
    journal_ = std::move(compaction.next);
    firstRecordOffset_ = JournalFormat::headerSize;
    length_ = compaction.nextLength;
    unflushed_.clear();
    compaction.carried.clear();
    compaction.switched = true;
    compaction.reached(CompactionStep::journalSwitched);
}

void LeaseJournal::switchTo(Compaction& compaction) {
    try {
        adopt(compaction);
    } catch (...) {
        compaction.next.close();
        LeaseDisk::removeQuietly(compaction.snapshotTemporary);
        LeaseDisk::removeQuietly(compaction.file.nextJournalURL());
        compaction_.reset();
        throw;
    }
}

void LeaseJournal::finish(Compaction& compaction) {
    const auto& file = compaction.file;
    if (!compaction.snapshotReplaced) {
        // The temporary stays when the rename fails, so that a retry can still put it in place.
        LeaseDisk::rename(compaction.snapshotTemporary, file.url);
        LeaseDisk::syncDirectory(file.url);
        compaction.snapshotReplaced = true;
        compaction.reached(CompactionStep::snapshotReplaced);
    }
    if (!compaction.journalReplaced) {
        LeaseDisk::rename(file.nextJournalURL(), file.journalURL());
        LeaseDisk::syncDirectory(file.url);
        compaction.journalReplaced = true;
        compaction.reached(CompactionStep::journalReplaced);
    }
}

void LeaseJournal::settle(Compaction& compaction, bool finished) {
    if (compaction_.get() != &compaction) return;
    if (!compaction.switched) {
        // Failed before the switch: nothing of it is needed.
        compaction.next.close();
        LeaseDisk::removeQuietly(compaction.snapshotTemporary);
        LeaseDisk::removeQuietly(file_.nextJournalURL());
        compaction_.reset();
        return;
    }
    if (!finished) {
        // The journal goes on under its next name until the renames succeed.
        awaitingFinish_ = true;
        return;
    }
    snapshotLength_ = compaction.snapshotLength;
    compaction_.reset();
    awaitingFinish_ = false;
}

void LeaseJournal::compactNow(const LeaseTable& table) {
    if (auto unfinished = compaction_) {
        if (unfinished->switched) {
            finish(*unfinished);
            settle(*unfinished, true);
        } else {
            settle(*unfinished, false);
        }
    }
    flush();
    auto compaction = beginCompaction(table);
    try {
        prepare(*compaction);
    } catch (...) {
        settle(*compaction, false);
        throw;
    }
    switchTo(*compaction);
    try {
        finish(*compaction);
    } catch (...) {
        // Before the snapshot was replaced, the next journal holds nothing the old files lack.
        if (!compaction->snapshotReplaced && !hasChangesSinceSnapshot()) {
            journal_.close();
            LeaseDisk::removeQuietly(compaction->snapshotTemporary);
            LeaseDisk::removeQuietly(file_.nextJournalURL());
            compaction_.reset();
        } else {
            settle(*compaction, false);
        }
        throw;
    }
    settle(*compaction, true);
}

}  // namespace anvil
