// The journal beside leases.json: what a load makes of torn and damaged journals, what it makes
// of a compaction stopped at any step, and the changes that carry one table to another.
#include "core/leases/lease_journal.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

#include "core/leases/journal_format.hpp"
#include "lease_builders.hpp"

namespace anvil {
namespace {

namespace fs = std::filesystem;
using testing::ip;
using testing::lease;
using testing::mac;
using State = Lease::State;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

std::vector<std::string> namesIn(const fs::path& directory) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

const Date now{1'735'787'045};  // 2025-01-02T03:04:05Z

// A table and three groups of changes, each group one commit.
const LeaseTable start({lease("02:00:00:00:00:01", "10.0.0.10", State::bound, 1'800'000'000)}, {});
const std::vector<std::vector<TableChange>> groups = {
    {TableChange::put(lease("02:00:00:00:00:02", "10.0.0.11", State::bound, 1'800'000'000))},
    {TableChange::put(lease("02:00:00:00:00:01", "10.0.0.10", State::released, 1'800'000'000)),
     TableChange::put(Quarantine{ip("10.0.0.12"), Date{1'800'000'000}, mac("02:00:00:00:00:03")})},
    {TableChange::removeLease(mac("02:00:00:00:00:02")), TableChange::removeQuarantine(ip("10.0.0.12"))},
};

LeaseTable after(std::size_t groupCount) {
    auto table = start;
    for (std::size_t index = 0; index < groupCount; ++index)
        for (const auto& change : groups[index]) apply(table, change);
    return table;
}

class LeaseJournalTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/anvil-journal-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        ::setenv("TZ", "UTC0", 1);
        ::tzset();
    }
    void TearDown() override { fs::remove_all(directory); }

    // The start table saved, then each group recorded and flushed as one commit.
    std::string journalWithAllGroups() {
        auto journal = LeaseJournal::open(file, start);
        for (const auto& group : groups) {
            journal->record(group);
            journal->flush();
        }
        return readFile(file.journalURL());
    }

    fs::path directory;
    LeaseFile file{fs::path("/nonexistent")};
    void useFolder() { file = LeaseFile(directory / "leases.json"); }
};

TEST_F(LeaseJournalTest, tornEndsAreDroppedAndDamageSetsTheJournalAside) {
    useFolder();
    // The journal is allocated ahead: its records, then zeros up to a whole step.
    const std::string allocated = journalWithAllGroups();
    ASSERT_EQ(allocated.size(), std::size_t{1} << 20);
    const std::string snapshot = readFile(file.url);
    // Where each group's flush ends in the file, footer included; the same records as a journal
    // written before flushes had footers.
    std::vector<std::size_t> ends{JournalFormat::headerSize};
    std::size_t footerSize = 0;
    std::string withoutFooters = JournalFormat::encodeHeader({JournalFormat::SnapshotIdentity::of(snapshot), 0, false});
    {
        std::string bytes;
        std::uint64_t sequence = 1;
        for (const auto& group : groups) {
            std::size_t batchStart = bytes.size();
            for (std::size_t index = 0; index < group.size(); ++index)
                JournalFormat::appendRecord(bytes, sequence++, group[index], index + 1 == group.size());
            withoutFooters += bytes.substr(batchStart);
            std::size_t recordsEnd = bytes.size();
            JournalFormat::appendFooter(bytes, sequence - 1, recordsEnd - batchStart);
            footerSize = bytes.size() - recordsEnd;
            ends.push_back(JournalFormat::headerSize + bytes.size());
        }
    }
    const std::string whole = allocated.substr(0, ends.back());
    ASSERT_EQ(allocated.find_first_not_of('\0', ends.back()), std::string::npos);
    // Applies the groups named, as a load past damage does.
    auto withGroups = [](std::vector<std::size_t> kept) {
        auto table = start;
        for (auto index : kept)
            for (const auto& change : groups[index]) apply(table, change);
        return table;
    };
    auto zeroed = [&](std::size_t from, std::size_t count) {
        auto bytes = whole;
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(from), count, '\0');
        return bytes;
    };
    auto flipped = [&](std::size_t at) {
        auto bytes = whole;
        bytes[at] = static_cast<char>(bytes[at] ^ 0x20);
        return bytes;
    };
    struct Case {
        const char* name;
        std::string journal;
        std::string snapshot;
        LeaseTable expected;
        std::size_t dropped;
        bool journalSetAside;
    };
    const std::vector<Case> cases = {
        {"whole journal", whole, snapshot, after(3), 0, false},
        {"last group cut in its first record", whole.substr(0, ends[2] + 20), snapshot, after(2), 20, false},
        {"last group cut between its records", whole.substr(0, ends[3] - footerSize - 30), snapshot, after(2),
         ends[3] - footerSize - 30 - ends[2], false},
        // A power cut during the last flush: whatever of it reached the disk is a tail.
        {"last batch without its footer", whole.substr(0, ends[3] - footerSize), snapshot, after(2),
         ends[3] - footerSize - ends[2], false},
        {"last batch's start never reached the disk", zeroed(ends[2], 40), snapshot, after(2), ends[3] - ends[2],
         false},
        {"bad byte in the last batch", flipped(ends[2] + 30), snapshot, after(2), ends[3] - ends[2], false},
        // The rest of an allocated journal is zeros: they are not counted as dropped.
        {"zeros after half the last batch", whole.substr(0, ends[2] + 50) + std::string(512, '\0'), snapshot,
         after(2), 50, false},
        {"last batch without its footer, then zeros", whole.substr(0, ends[3] - footerSize) + std::string(4096, '\0'),
         snapshot, after(2), ends[3] - footerSize - ends[2], false},
        {"second group cut after its first record", whole.substr(0, ends[1] + 140), snapshot, after(1), 140, false},
        {"the journal as written, allocated ahead", allocated, snapshot, after(3), 0, false},
        {"header only", whole.substr(0, ends[0]), snapshot, after(0), 0, false},
        {"header cut short", whole.substr(0, 17), snapshot, after(0), 0, false},
        // Damage in flushed batches: the whole records after it are still applied.
        {"bad byte in the first group", flipped(ends[0] + 30), snapshot, withGroups({1, 2}), 0, true},
        {"bad byte in the second group", flipped(ends[1] + 30), snapshot, withGroups({0, 2}), 0, true},
        {"zeros over the first two groups", zeroed(ends[0], ends[2] - ends[0]), snapshot, withGroups({2}), 0, true},
        // Journals written before footers load as they always did.
        {"journal without footers", withoutFooters, snapshot, after(3), 0, false},
        {"journal without footers cut short", withoutFooters.substr(0, withoutFooters.size() - 30), snapshot,
         after(2), withoutFooters.size() - 30 - (ends[2] - 2 * footerSize), false},
        {"journal without footers with a bad byte", [&] {
             auto bytes = withoutFooters;
             bytes[ends[0] + 30] ^= 0x20;
             return bytes;
         }(), snapshot, after(0), 0, true},
        {"bad byte in the header", flipped(3), snapshot, after(0), 0, true},
        {"journal of another snapshot", whole, LeaseFile::encode(after(1)), after(1), 0, true},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        for (const auto& name : namesIn(directory)) fs::remove(directory / name);
        writeFile(file.url, testCase.snapshot);
        writeFile(file.journalURL(), testCase.journal);
        auto loaded = file.load(now);
        EXPECT_EQ(loaded.table, testCase.expected);
        EXPECT_EQ(loaded.journalBytesDropped, testCase.dropped);
        EXPECT_FALSE(loaded.setAsideURL);
        EXPECT_EQ(loaded.journalSetAsideURL.has_value(), testCase.journalSetAside);
        if (testCase.journalSetAside) {
            EXPECT_EQ(*loaded.journalSetAsideURL, directory / "leases.json.journal.corrupt-20250102-030405");
            EXPECT_EQ(readFile(*loaded.journalSetAsideURL), testCase.journal);
        }
        // Serving again starts from exactly what was loaded, with nothing dropped twice.
        LeaseJournal::open(file, loaded.table);
        auto again = file.load(now);
        EXPECT_EQ(again.table, testCase.expected);
        EXPECT_EQ(again.journalBytesDropped, 0u);
        EXPECT_FALSE(again.journalSetAsideURL);
    }
}

TEST_F(LeaseJournalTest, undecodableSnapshotTakesItsJournalAsideWithIt) {
    useFolder();
    auto journal = journalWithAllGroups();
    writeFile(file.url, "{ not json");
    auto loaded = file.load(now);
    EXPECT_EQ(loaded.table, LeaseTable{});
    EXPECT_EQ(loaded.setAsideURL, directory / "leases.json.corrupt-20250102-030405");
    EXPECT_EQ(loaded.journalSetAsideURL, directory / "leases.json.journal.corrupt-20250102-030405");
    EXPECT_EQ(readFile(*loaded.journalSetAsideURL), journal);
}

// A compaction that runs while commits go on: a commit before the switch (it lands in the old
// journal and is carried over) and one after it (it lands in the next journal).
enum class Outcome { exits, throws };

struct CrashRun {
    LeaseFile file;
    std::optional<CompactionStep> stopAt;
    Outcome outcome = Outcome::exits;

    void operator()() const {
        // Not the compaction of the open, nor the one that ends the run.
        bool stopping = false;
        LeaseJournal::Seams seams;
        seams.stepReached = [this, &stopping](CompactionStep step) {
            if (!stopping || step != stopAt) return;
            if (outcome == Outcome::exits) ::_exit(0);
            throw LeaseFileError(LeaseFileError::Kind::write, ENOSPC, "Could not write leases.json: full");
        };
        auto journal = LeaseJournal::open(file, start, seams);
        journal->record(groups[0]);
        journal->flush();
        stopping = true;
        auto compaction = journal->beginCompaction(after(1));
        try {
            LeaseJournal::prepare(*compaction);
        } catch (const LeaseFileError&) {
            journal->settle(*compaction, false);
            compaction.reset();
        }
        journal->record(groups[1]);
        journal->flush();
        if (compaction) journal->switchTo(*compaction);
        journal->record(groups[2]);
        journal->flush();
        if (compaction) {
            try {
                LeaseJournal::finish(*compaction);
                journal->settle(*compaction, true);
            } catch (const LeaseFileError&) {
                journal->settle(*compaction, false);
            }
        }
        // A later compaction (as at stop) still brings everything to one snapshot.
        if (outcome == Outcome::throws) {
            stopping = false;
            journal->compactNow(after(3));
        }
    }
};

TEST_F(LeaseJournalTest, aCompactionStoppedAtAnyStepLoadsTheLastFlushedCommit) {
    useFolder();
    struct Case {
        std::optional<CompactionStep> step;
        Outcome outcome;
        std::size_t groupsKept;
    };
    const std::vector<Case> cases = {
        {CompactionStep::snapshotWritten, Outcome::exits, 1},
        {CompactionStep::nextJournalCreated, Outcome::exits, 1},
        {CompactionStep::journalSwitched, Outcome::exits, 2},
        {CompactionStep::snapshotReplaced, Outcome::exits, 3},
        {CompactionStep::journalReplaced, Outcome::exits, 3},
        {std::nullopt, Outcome::exits, 3},
        // A full disk or a failed rename: the compaction gives up or finishes later, and no
        // commit is lost either way.
        {CompactionStep::snapshotWritten, Outcome::throws, 3},
        {CompactionStep::nextJournalCreated, Outcome::throws, 3},
        {CompactionStep::snapshotReplaced, Outcome::throws, 3},
        {CompactionStep::journalReplaced, Outcome::throws, 3},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.step ? static_cast<int>(*testCase.step) : -1);
        SCOPED_TRACE(testCase.outcome == Outcome::exits ? "exits" : "throws");
        for (const auto& name : namesIn(directory)) fs::remove_all(directory / name);
        pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            try {
                CrashRun{file, testCase.step, testCase.outcome}();
            } catch (...) {
                ::_exit(2);
            }
            ::_exit(0);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

        auto loaded = file.load(now);
        EXPECT_EQ(loaded.table, after(testCase.groupsKept));
        EXPECT_FALSE(loaded.setAsideURL);
        EXPECT_FALSE(loaded.journalSetAsideURL);
        EXPECT_EQ(loaded.journalBytesDropped, 0u);
        // The next start settles what was left and keeps exactly the same state.
        LeaseJournal::open(file, loaded.table);
        EXPECT_EQ(file.load(now).table, after(testCase.groupsKept));
        EXPECT_EQ(namesIn(directory), (std::vector<std::string>{"leases.json", "leases.json.journal"}));
    }
}

TEST(TableChanges, theChangesATableLogsRebuildItOrderIncluded) {
    auto a = lease("02:00:00:00:00:0a", "10.0.0.10", State::bound, 100);
    auto b = lease("02:00:00:00:00:0b", "10.0.0.11", State::bound, 100);
    auto c = lease("02:00:00:00:00:0c", "10.0.0.12", State::offered, 100);
    auto outside = lease("02:00:00:00:00:0d", "10.9.0.1", State::bound, 100);
    auto bReleased = b;
    bReleased.state = State::released;
    const LeaseTable before({a, b, c, outside}, {Quarantine{ip("10.0.0.20"), Date{50}, mac("02:00:00:00:00:0a")},
                                                 Quarantine{ip("10.0.0.21"), Date{60}, mac("02:00:00:00:00:0b")}});
    struct Case {
        const char* name;
        std::function<void(LeaseTable&)> change;
    };
    const std::vector<Case> cases = {
        {"nothing", [](LeaseTable&) {}},
        {"changed in place", [&](LeaseTable& table) { table.upsert(bReleased); }},
        {"added", [&](LeaseTable& table) { table.upsert(lease("02:00:00:00:00:0e", "10.0.0.13", State::bound, 1)); }},
        {"removed and added again at the end",
         [&](LeaseTable& table) {
             table.remove(b.mac);
             table.upsert(c);
             table.upsert(bReleased);
         }},
        {"added and removed",
         [&](LeaseTable& table) {
             table.upsert(lease("02:00:00:00:00:0e", "10.0.0.13", State::bound, 1));
             table.remove(mac("02:00:00:00:00:0e"));
         }},
        {"quarantine renewed moves to the end",
         [&](LeaseTable& table) { table.addQuarantine(ip("10.0.0.20"), Date{70}, c.mac); }},
        {"quarantine pruned", [&](LeaseTable& table) { table.pruneQuarantine(Date{55}); }},
        {"inactive cleared",
         [&](LeaseTable& table) {
             table.upsert(bReleased);
             table.clearInactive(Date{10});
         }},
        {"outside the range dropped",
         [&](LeaseTable& table) {
             table.dropOutside({ip("10.0.0.1"), ip("10.0.0.254")});
         }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        auto table = before;
        table.takeChanges();
        testCase.change(table);
        auto changes = table.takeChanges();
        auto rebuilt = before;
        for (const auto& change : changes) apply(rebuilt, change);
        EXPECT_EQ(rebuilt, table);
        // And through the journal's bytes.
        std::string bytes = JournalFormat::encodeHeader({});
        for (std::size_t index = 0; index < changes.size(); ++index)
            JournalFormat::appendRecord(bytes, index + 1, changes[index], index + 1 == changes.size());
        if (!changes.empty())
            JournalFormat::appendFooter(bytes, changes.size(), bytes.size() - JournalFormat::headerSize);
        auto scan = JournalFormat::scan(bytes);
        EXPECT_EQ(scan.outcome, JournalFormat::Scan::Outcome::clean);
        ASSERT_EQ(scan.entries.size(), changes.size());
        for (std::size_t index = 0; index < changes.size(); ++index)
            EXPECT_EQ(scan.entries[index].change, changes[index]);
    }
}

}  // namespace
}  // namespace anvil
