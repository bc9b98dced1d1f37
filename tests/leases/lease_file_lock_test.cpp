// One writer per lease file: a second lock is refused with the holder named, from this process or
// another, and a lock file left by a gone process blocks nobody.
#include "core/leases/lease_file_lock.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <sstream>

namespace anvil {
namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string inUse(const fs::path& file, pid_t holder) {
    return file.string() + " is in use by another DHCP Anvil (process " + std::to_string(holder) +
           "); stop it or use another lease file";
}

// A child that takes the lock, says so on a pipe, and then waits to be killed.
pid_t childHolding(const fs::path& file) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    pid_t child = ::fork();
    if (child == 0) {
        ::close(ready[0]);
        try {
            auto lock = LeaseFileLock::acquire(file);
            char byte = 1;
            if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
            for (int round = 0; round < 600; ++round) ::sleep(1);  // bounded; killed long before
        } catch (...) {
        }
        ::_exit(2);
    }
    ::close(ready[1]);
    char byte = 0;
    bool locked = child > 0 && ::read(ready[0], &byte, 1) == 1;
    ::close(ready[0]);
    if (!locked && child > 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);
        return -1;
    }
    return child;
}

void killAndReap(pid_t child) {
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
}

class LeaseFileLockTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/anvil-lock-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory = pattern;
        file = directory / "bench" / "leases.json";
    }
    void TearDown() override { fs::remove_all(directory); }

    fs::path directory;
    fs::path file;
};

TEST_F(LeaseFileLockTest, aSecondWriterIsRefusedWithTheHoldersProcessNamed) {
    struct Case {
        const char* name;
        // Takes the lock some other way and returns the holder's id; the holder keeps it until undone.
        std::function<pid_t(const fs::path&)> hold;
        std::function<void()> undo;
    };
    std::optional<LeaseFileLock> ownLock;
    pid_t child = -1;
    const std::vector<Case> cases = {
        {"this process, another open of the lock file",
         [&](const fs::path& leases) {
             ownLock.emplace(LeaseFileLock::acquire(leases));
             return ::getpid();
         },
         [&] { ownLock.reset(); }},
        {"a forked child",
         [&](const fs::path& leases) { return child = childHolding(leases); },
         [&] { killAndReap(child); }},
    };
    for (const auto& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        pid_t holder = testCase.hold(file);
        ASSERT_GT(holder, 0);
        EXPECT_EQ(readFile(LeaseFileLock::lockURL(file)), std::to_string(holder) + "\n");
        try {
            LeaseFileLock::acquire(file);
            ADD_FAILURE() << "a second lock was taken";
        } catch (const LeaseFileInUse& refused) {
            EXPECT_EQ(refused.description(), inUse(file, holder));
            EXPECT_EQ(refused.holder, holder);
        }
        // The refusal changed nothing: the holder is still named.
        EXPECT_EQ(readFile(LeaseFileLock::lockURL(file)), std::to_string(holder) + "\n");
        testCase.undo();
        EXPECT_NO_THROW(LeaseFileLock::acquire(file));
    }
}

TEST_F(LeaseFileLockTest, aLockFileLeftByAGoneHolderBlocksNobody) {
    // A child killed with the lock held leaves its id behind; so might an older run.
    pid_t dead = childHolding(file);
    ASSERT_GT(dead, 0);
    killAndReap(dead);
    EXPECT_EQ(readFile(LeaseFileLock::lockURL(file)), std::to_string(dead) + "\n");

    auto lock = LeaseFileLock::acquire(file);
    EXPECT_EQ(readFile(LeaseFileLock::lockURL(file)), std::to_string(::getpid()) + "\n");
}

TEST_F(LeaseFileLockTest, whatTheLockFileSaysIsReadAsHostile) {
    // Held by a plain flock of another open, with text no DHCP Anvil wrote.
    const std::vector<std::string> texts = {"", "\n", "12abc\n", "-5\n", "0\n", "99999999999999999999\n", "42"};
    fs::create_directories(file.parent_path());
    for (const auto& text : texts) {
        SCOPED_TRACE(text);
        std::ofstream(LeaseFileLock::lockURL(file), std::ios::binary | std::ios::trunc) << text;
        int other = ::open(LeaseFileLock::lockURL(file).c_str(), O_RDWR | O_CLOEXEC);
        ASSERT_GE(other, 0);
        ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
        try {
            LeaseFileLock::acquire(file);
            ADD_FAILURE() << "a second lock was taken";
        } catch (const LeaseFileInUse& refused) {
            EXPECT_FALSE(refused.holder);
            EXPECT_EQ(refused.description(),
                      file.string() + " is in use by another DHCP Anvil; stop it or use another lease file");
        }
        ::close(other);
    }
}

TEST_F(LeaseFileLockTest, theLockFileIsPrivateWhateverTheUmask) {
    mode_t previous = ::umask(0);
    {
        auto lock = LeaseFileLock::acquire(file);
    }
    ::umask(previous);
    struct stat status {};
    ASSERT_EQ(::stat(LeaseFileLock::lockURL(file).c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    // Released, it names nobody.
    EXPECT_EQ(readFile(LeaseFileLock::lockURL(file)), "");
}

}  // namespace
}  // namespace anvil
