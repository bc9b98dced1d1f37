// The lease store alone, with no server and no socket: in what order commits are answered while
// flushes fail and compactions run, and that the files then hold the very table the changes made.
#include "core/dhcp_service/lease_store.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <iterator>
#include <condition_variable>
#include <csignal>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "core/leases/journal_format.hpp"
#include "core/leases/lease_journal.hpp"
#include "core/dhcp_service/compaction_schedule.hpp"

namespace anvil {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

Lease leaseFor(int device, Lease::State state, double lastSeen = 0) {
    return Lease{MACAddress{{0x02, 0, 0, 0, 0, static_cast<std::uint8_t>(device)}},
                 IPv4Address(10, 0, 0, static_cast<std::uint8_t>(100 + device)),
                 state,
                 Date{1'800'000'000},
                 std::nullopt,
                 std::nullopt,
                 std::nullopt,
                 Date{0},
                 Date{lastSeen}};
}

// Holds the steps of a compaction named in hold() until released, so a test can act while one
// is under way.
class CompactionGate {
public:
    ~CompactionGate() { release(); }
    // The store's journal calls this at each step.
    void reached(CompactionStep step) {
        std::unique_lock lock(mutex_);
        reached_.insert(step);
        changed_.notify_all();
        changed_.wait_for(lock, 10s, [&] { return !holdAt_.count(step); });
    }
    // Steps reached before (the compaction of the store's open) are forgotten.
    CompactionGate& hold(std::set<CompactionStep> holdAt) {
        std::lock_guard lock(mutex_);
        holdAt_ = std::move(holdAt);
        reached_.clear();
        return *this;
    }
    bool waitUntilReached(CompactionStep step) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 10s, [&] { return reached_.count(step) > 0; });
    }
    void release(std::optional<CompactionStep> step = std::nullopt) {
        std::lock_guard lock(mutex_);
        if (step)
            holdAt_.erase(*step);
        else
            holdAt_.clear();
        changed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::set<CompactionStep> holdAt_;
    std::set<CompactionStep> reached_;
};

struct StoreBench {
    fs::path directory;
    LeaseFile file{fs::path("/nonexistent")};
    SerialQueue owner{"test.owner"};
    std::unique_ptr<LeaseStore> store;
    // Written on the owner's queue only: answers and reports in the order they came.
    std::vector<std::string> heard;
    bool saveFailing = false;
    // Outlives the store's queues, whose threads call it.
    CompactionGate gate;
    // The store's clock: the steady one while negative, else standing at this second (of a
    // far-off hour) until a test moves it.
    std::atomic<int> fakeSecond{-1};
    // The table as the server would hold it; its changes are what the store records.
    LeaseTable live;

    // blocked: a file stands where the lease file's folder goes, so the journal cannot be opened
    // until the test removes it.
    enum class Folder { free, blocked };
    explicit StoreBench(Folder folder = Folder::free) {
        bool blocked = folder == Folder::blocked;
        char pattern[] = "/tmp/anvil-store-XXXXXX";
        if (::mkdtemp(pattern)) directory = pattern;
        file = LeaseFile(blocked ? directory / "folder" / "leases.json" : directory / "leases.json");
        if (blocked) std::ofstream(directory / "folder") << "in the way";
        LeaseStore::Seams seams;
        seams.clock = [this] {
            int second = fakeSecond.load();
            return second < 0 ? std::chrono::steady_clock::now()
                              : std::chrono::steady_clock::time_point{} + 1000h + 1s * second;
        };
        seams.journal.stepReached = [this](CompactionStep step) { gate.reached(step); };
        store = std::make_unique<LeaseStore>(
            file, owner,
            [this](const LeaseStore::Report& report) {
                using Kind = LeaseStore::Report::Kind;
                switch (report.kind) {
                    // Heard only when it clears the notice of a failed save.
                    case Kind::saved:
                        if (std::exchange(saveFailing, false)) heard.push_back("saved");
                        break;
                    case Kind::saveFailed:
                        heard.push_back("save failed");
                        saveFailing = true;
                        break;
                    case Kind::notRewritten: heard.push_back("not rewritten"); break;
                    case Kind::rewritten: heard.push_back("rewritten"); break;
                }
            },
            std::move(seams));
        live.upsert(leaseFor(1, Lease::State::bound));
        live.takeChanges();
        auto loaded = live;
        owner.sync([&] { store->open(loaded); });
    }
    ~StoreBench() {
        owner.sync([&] { store->abandon(); });
        store.reset();
        fs::remove_all(directory);
    }

    // Changes the live table, records what changed and commits, on the owner's queue.
    void changeHere(const std::function<void(LeaseTable&)>& edit, int commitNumber) {
        edit(live);
        store->record(live.takeChanges());
        store->commit([this, commitNumber](bool onDisk) {
            heard.push_back(std::to_string(commitNumber) + (onDisk ? " on disk" : " not on disk"));
        });
    }
    void change(const std::function<void(LeaseTable&)>& edit, int commitNumber) {
        owner.sync([&] { changeHere(edit, commitNumber); });
    }

    std::vector<std::string> heardSoFar() {
        std::vector<std::string> copy;
        owner.sync([&] { copy = heard; });
        return copy;
    }

    // Bounded: a store that never answers fails the comparison that follows.
    std::vector<std::string> waitForAnswers(std::size_t count) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            auto now = heardSoFar();
            std::size_t answers = 0;
            for (const auto& line : now) answers += line.ends_with("disk");
            if (answers >= count) return now;
            std::this_thread::sleep_for(10ms);
        }
        return heardSoFar();
    }

    // Bounded, as above.
    bool waitForLine(const std::string& line) {
        for (int attempt = 0; attempt < 1000; ++attempt) {
            auto now = heardSoFar();
            if (std::find(now.begin(), now.end(), line) != now.end()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    LeaseTable reloaded() const { return file.load(Date{0}).table; }
};

// Makes every write past the journal's present end fail, as a full disk does, for root too.
class FullDisk {
public:
    explicit FullDisk(const fs::path& journal) {
        previousSignal_ = std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit full = saved_;
        full.rlim_cur = fs::file_size(journal);
        ::setrlimit(RLIMIT_FSIZE, &full);
    }
    ~FullDisk() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previousSignal_);
    }

private:
    rlimit saved_{};
    void (*previousSignal_)(int) = nullptr;
};

void addSecond(LeaseTable& table) { table.upsert(leaseFor(2, Lease::State::bound)); }
void releaseFirstAndQuarantine(LeaseTable& table) {
    table.upsert(leaseFor(1, Lease::State::released));
    table.addQuarantine(IPv4Address(10, 0, 0, 150), Date{1'800'000'000}, leaseFor(3, Lease::State::offered).mac);
}
void forgetSecond(LeaseTable& table) { table.remove(leaseFor(2, Lease::State::bound).mac); }
// Enough records of one lease that the journal outgrows its floor and is compacted after the flush.
void growJournal(LeaseTable& table) {
    for (int seen = 1; seen <= 9000; ++seen) table.upsert(leaseFor(4, Lease::State::bound, seen));
}
// More unflushed records than a full disk may hold back.
void growPastBacklog(LeaseTable& table) {
    for (int seen = 1; seen <= 40000; ++seen) table.upsert(leaseFor(5, Lease::State::bound, seen));
}

TEST(LeaseStore, AnswersCommitsInCallOrderAndLeavesTheFileHoldingWhatWasRecorded) {
    struct Case {
        const char* name;
        std::function<void(StoreBench&)> script;
        std::vector<std::string> heard;
    };
    const std::vector<Case> cases = {
        {"commits while a flush is out share the next flush",
         [](StoreBench& bench) {
             bench.owner.sync([&] {
                 bench.changeHere(addSecond, 1);
                 bench.changeHere(releaseFirstAndQuarantine, 2);
                 bench.changeHere(forgetSecond, 3);
             });
         },
         {"1 on disk", "2 on disk", "3 on disk"}},
        {"a failed flush answers so, and its records go again with the next commit",
         [](StoreBench& bench) {
             {
                 FullDisk full(bench.file.journalURL());
                 bench.change(addSecond, 1);
                 bench.waitForAnswers(1);
             }
             bench.change(releaseFirstAndQuarantine, 2);
         },
         {"save failed", "1 not on disk", "saved", "2 on disk"}},
        {"a full disk drops the backlog past its bound, and one compaction saves the table when space returns",
         [](StoreBench& bench) {
             // Time stands still while the disk is full: no compaction is tried before it has room.
             bench.fakeSecond = 0;
             {
                 FullDisk full(bench.file.journalURL());
                 bench.change(growPastBacklog, 1);
                 bench.waitForAnswers(1);
                 bench.change(addSecond, 2);
                 bench.waitForAnswers(2);
             }
             bench.fakeSecond = 5;
             ASSERT_TRUE(bench.waitForLine("saved"));
             bench.change(forgetSecond, 3);
         },
         {"save failed", "1 not on disk", "2 not on disk", "saved", "3 on disk"}},
        {"a failed rename of the snapshot is retried with the temporary it kept",
         [](StoreBench& bench) {
             auto& gate = bench.gate.hold({CompactionStep::journalSwitched});
             bench.change(growJournal, 1);
             ASSERT_TRUE(gate.waitUntilReached(CompactionStep::journalSwitched));
             // A folder in the snapshot's place: the rename over it fails until it goes.
             auto saved = bench.directory / "saved.json";
             fs::rename(bench.file.url, saved);
             fs::create_directory(bench.file.url);
             std::ofstream(bench.file.url / "in-the-way") << "x";
             gate.release();
             ASSERT_TRUE(bench.waitForLine("not rewritten"));
             fs::remove_all(bench.file.url);
             fs::rename(saved, bench.file.url);
             ASSERT_TRUE(bench.waitForLine("rewritten"));
             bench.change(addSecond, 2);
         },
         {"1 on disk", "not rewritten", "rewritten", "2 on disk"}},
        {"commits go on while the snapshot is written, and wait for the journal's switch",
         [](StoreBench& bench) {
             auto& gate = bench.gate.hold({CompactionStep::snapshotWritten, CompactionStep::journalSwitched});
             bench.change(growJournal, 1);
             ASSERT_TRUE(gate.waitUntilReached(CompactionStep::snapshotWritten));
             bench.change(addSecond, 2);
             bench.waitForAnswers(2);
             gate.release(CompactionStep::snapshotWritten);
             ASSERT_TRUE(gate.waitUntilReached(CompactionStep::journalSwitched));
             bench.change(forgetSecond, 3);
             EXPECT_EQ(bench.heardSoFar().size(), 2u) << "answered while the journal was switching";
             gate.release();
             bench.waitForAnswers(3);
         },
         {"1 on disk", "2 on disk", "3 on disk"}},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        StoreBench bench;
        testCase.script(bench);
        auto answers = std::count_if(testCase.heard.begin(), testCase.heard.end(),
                                     [](const std::string& line) { return line.ends_with("disk"); });
        EXPECT_EQ(bench.waitForAnswers(static_cast<std::size_t>(answers)), testCase.heard);
        // What the journal replays, and then the snapshot the store writes from its own copy.
        EXPECT_EQ(bench.reloaded(), bench.live);
        bench.owner.sync([&] { bench.store->close(); });
        EXPECT_EQ(bench.reloaded(), bench.live);
        EXPECT_EQ(fs::file_size(bench.file.journalURL()), JournalFormat::headerSize);
    }
}

TEST(LeaseStore, LeasesJsonStaysWithinTheLagBoundUnderOneCommitASecond) {
    StoreBench bench;
    bench.fakeSecond = 0;
    const int seconds = 45;
    for (int at = 1; at <= seconds; ++at) {
        bench.fakeSecond = at;
        // The same device renews every second: the journal never has a quiet moment.
        bench.change([at](LeaseTable& table) { table.upsert(leaseFor(2, Lease::State::bound, at)); }, at);
        ASSERT_EQ(bench.waitForAnswers(static_cast<std::size_t>(at)).size(), static_cast<std::size_t>(at));
    }
    auto lastSeenInSnapshot = [&]() -> double {
        auto bytes = std::ifstream(bench.file.url);
        std::string text((std::istreambuf_iterator<char>(bytes)), std::istreambuf_iterator<char>());
        auto lease = LeaseFile::decode(text).lease(leaseFor(2, Lease::State::bound).mac);
        return lease ? lease->lastSeen.secondsSince1970 : 0;
    };
    // The compaction runs on its own queue: bounded wait for it to land.
    for (int attempt = 0; attempt < 500 && lastSeenInSnapshot() < seconds - 30; ++attempt)
        std::this_thread::sleep_for(10ms);
    auto bound = std::chrono::duration_cast<std::chrono::seconds>(CompactionSchedule::longestSnapshotLag).count();
    EXPECT_GE(lastSeenInSnapshot(), seconds - bound);
}

TEST(LeaseStore, ChangesNoReplyWaitsForAreSavedWhenTheJournalCouldNotBeOpenedAtStart) {
    StoreBench bench(StoreBench::Folder::blocked);
    ASSERT_EQ(bench.heardSoFar(), std::vector<std::string>{"save failed"});
    bench.owner.sync([&] {
        releaseFirstAndQuarantine(bench.live);
        bench.store->record(bench.live.takeChanges(), LeaseStore::Flush::soon);
    });
    fs::remove(bench.directory / "folder");
    // No commit follows: the store opens the journal again by itself.
    ASSERT_TRUE(bench.waitForLine("saved"));
    EXPECT_EQ(bench.reloaded(), bench.live);
}


// What a commit's hook finds when it runs on the flush's thread, before the answer: the ACKs it
// sends must find their records in the journal on disk, and a failed flush must not run it.
TEST(LeaseStore, RunsTheOnDiskHookOnlyAfterItsRecordsAreInTheJournal) {
    struct Case {
        const char* name;
        bool diskFull;
        std::vector<std::string> heard;
    };
    const std::vector<Case> cases = {
        {"a flush that lands runs the hook, then answers", false, {"hook: 2 in the journal", "1 on disk"}},
        {"a failed flush answers without the hook", true, {"save failed", "1 not on disk"}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        StoreBench bench;
        std::optional<FullDisk> full;
        if (test.diskFull) full.emplace(bench.file.journalURL());
        std::mutex hookMutex;
        std::vector<std::string> hooks;
        bench.owner.sync([&] {
            addSecond(bench.live);
            bench.store->record(bench.live.takeChanges());
            bench.store->commit(
                [&](bool onDisk) {
                    std::lock_guard lock(hookMutex);
                    hooks.push_back(std::string("1 ") + (onDisk ? "on disk" : "not on disk"));
                },
                [&] {
                    // Read back from the file, as a load after a crash would.
                    auto leases = bench.file.load(Date{0}).table.size();
                    std::lock_guard lock(hookMutex);
                    hooks.push_back("hook: " + std::to_string(leases) + " in the journal");
                });
        });
        bench.waitForAnswers(0);
        for (int attempt = 0; attempt < 1000; ++attempt) {
            {
                std::lock_guard lock(hookMutex);
                if (!hooks.empty() && hooks.back().ends_with("disk")) break;
            }
            std::this_thread::sleep_for(10ms);
        }
        full.reset();
        auto heard = bench.heardSoFar();
        std::lock_guard lock(hookMutex);
        heard.insert(heard.end(), hooks.begin(), hooks.end());
        EXPECT_EQ(heard, test.heard);
    }
}

}  // namespace
}  // namespace anvil
