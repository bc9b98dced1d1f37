#include "core/run/log_file_writer.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "core/events/event_stream.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

struct TemporaryDirectory {
    fs::path path =
        fs::temp_directory_path() / ("anvil-log-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
    ~TemporaryDirectory() { fs::remove_all(path); }
};

struct TimeZoneOverride {
    std::string previous = std::getenv("TZ") ? std::getenv("TZ") : "";
    bool had = std::getenv("TZ") != nullptr;
    explicit TimeZoneOverride(const char* zone) {
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZoneOverride() {
        if (had)
            ::setenv("TZ", previous.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
};

std::string contents(const fs::path& file) {
    std::ifstream stream(file);
    std::stringstream text;
    text << stream.rdbuf();
    return text.str();
}

}  // namespace

TEST(LogFileWriter, NamesFilesByTheLocalDay) {
    TimeZoneOverride zone("UTC+2");  // POSIX sign: two hours behind UTC
    // 2025-01-03T01:59:59.999Z is 23:59:59.999 on 2 January two hours west of UTC.
    Date lastMillisecond{1735869599.999};
    EXPECT_EQ(LogFileWriter::fileName(lastMillisecond), "2025-01-02.log");
    EXPECT_EQ(LogFileWriter::fileName(lastMillisecond.addingSeconds(0.001)), "2025-01-03.log");
}

TEST(LogFileWriter, AppendsWholeLinesInCallOrderCreatingTheDirectory) {
    TemporaryDirectory folder;
    LogFileWriter writer(folder.path / "nested" / "logs");
    Date day{1735776000};  // 2025-01-02T00:00:00Z
    TimeZoneOverride zone("UTC");
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([&, thread] {
            for (int line = 0; line < 50; ++line)
                writer.append("thread " + std::to_string(thread) + " line " + std::to_string(line), day);
        });
    }
    for (auto& thread : threads) thread.join();
    writer.append("last", day);
    writer.flush();

    auto text = contents(folder.path / "nested" / "logs" / "2025-01-02.log");
    std::istringstream lines(text);
    std::string line;
    int count = 0;
    std::vector<int> nextOf(4, 0);
    while (std::getline(lines, line)) {
        ++count;
        if (line == "last") continue;
        int thread = 0, index = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &thread, &index), 2) << line;
        EXPECT_EQ(index, nextOf[thread]++) << "lines of one thread keep their order";
    }
    EXPECT_EQ(count, 201);
    EXPECT_TRUE(text.ends_with("last\n"));
}

TEST(LogFileWriter, LogsArePrivateWhateverTheUmaskAndKeepAModeTheOwnerChose) {
    TimeZoneOverride zone("UTC");
    Date day{1735776000};  // 2025-01-02T00:00:00Z
    auto permissions = [](const fs::path& path) { return fs::status(path).permissions(); };
    for (mode_t mask : {mode_t{0022}, mode_t{0}, mode_t{0277}}) {
        SCOPED_TRACE(mask);
        TemporaryDirectory folder;
        auto logs = folder.path / "state" / "logs";
        mode_t previous = ::umask(mask);
        {
            LogFileWriter writer(logs);
            writer.append("first", day);
            writer.flush();
        }
        ::umask(previous);
        EXPECT_EQ(permissions(folder.path / "state"), fs::perms::owner_all);
        EXPECT_EQ(permissions(logs), fs::perms::owner_all);
        EXPECT_EQ(permissions(logs / "2025-01-02.log"), fs::perms::owner_read | fs::perms::owner_write);

        fs::permissions(logs / "2025-01-02.log", fs::perms::group_read, fs::perm_options::add);
        LogFileWriter writer(logs);
        writer.append("second", day);
        writer.flush();
        EXPECT_EQ(permissions(logs / "2025-01-02.log"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
        EXPECT_EQ(contents(logs / "2025-01-02.log"), "first\nsecond\n");
    }
}

TEST(LogFileWriter, DropsLinesSilentlyWhenTheDirectoryCannotBeMade) {
    TemporaryDirectory folder;
    fs::create_directories(folder.path);
    std::ofstream(folder.path / "blocker") << "a file where a folder should be";
    LogFileWriter writer(folder.path / "blocker" / "logs");
    writer.append("lost", Date{0});
    writer.flush();
    EXPECT_FALSE(fs::exists(folder.path / "blocker" / "logs"));
}

// Sets or unsets an environment variable for one scope.
struct EnvironmentOverride {
    std::string name;
    std::optional<std::string> previous;
    EnvironmentOverride(std::string variable, const char* value) : name(std::move(variable)) {
        if (const char* old = std::getenv(name.c_str())) previous = old;
        if (value)
            ::setenv(name.c_str(), value, 1);
        else
            ::unsetenv(name.c_str());
    }
    ~EnvironmentOverride() {
        if (previous)
            ::setenv(name.c_str(), previous->c_str(), 1);
        else
            ::unsetenv(name.c_str());
    }
};

TEST(LogFileWriter, DefaultDirectoryIsAnAbsoluteStateHomeOrTheAccountsHomeNeverTmp) {
    const fs::path accountHome = ::getpwuid(::getuid())->pw_dir;
    struct Case {
        const char* stateHome;
        const char* home;
        fs::path expected;
    };
    for (const auto& sample : {
             Case{"/var/tmp/state", "/home/tech", "/var/tmp/state/DHCP Anvil/logs"},
             Case{nullptr, "/home/tech", "/home/tech/.local/state/DHCP Anvil/logs"},
             Case{"relative/state", "/home/tech", "/home/tech/.local/state/DHCP Anvil/logs"},
             Case{"", nullptr, accountHome / ".local/state/DHCP Anvil/logs"},
             Case{nullptr, "relative-home", accountHome / ".local/state/DHCP Anvil/logs"},
         }) {
        EnvironmentOverride state("XDG_STATE_HOME", sample.stateHome);
        EnvironmentOverride home("HOME", sample.home);
        EXPECT_EQ(LogFileWriter::defaultDirectory(), sample.expected)
            << (sample.stateHome ? sample.stateHome : "(unset)") << " " << (sample.home ? sample.home : "(unset)");
    }
}

TEST(LogFileWriter, NeverWritesThroughASymbolicLink) {
    Date day{1735776000};  // 2025-01-02T00:00:00Z
    TimeZoneOverride zone("UTC");
    struct Case {
        const char* name;
        bool folderIsLink;
    };
    for (auto sample : {Case{"folder", true}, Case{"file", false}}) {
        SCOPED_TRACE(sample.name);
        TemporaryDirectory folder;
        auto elsewhere = folder.path / "elsewhere";
        fs::create_directories(elsewhere);
        std::ofstream(elsewhere / "2025-01-02.log") << "someone else's\n";
        auto logs = folder.path / "logs";
        if (sample.folderIsLink) {
            fs::create_directory_symlink(elsewhere, logs);
        } else {
            fs::create_directories(logs);
            fs::create_symlink(elsewhere / "2025-01-02.log", logs / "2025-01-02.log");
        }
        LogFileWriter writer(logs);
        writer.append("line", day);
        writer.flush();
        EXPECT_EQ(contents(elsewhere / "2025-01-02.log"), "someone else's\n");
    }
}

TEST(LogFileWriter, ShortWriteOnAFullDiskLeavesNoFragment) {
    TemporaryDirectory folder;
    Date day{1735776000};
    TimeZoneOverride zone("UTC");
    LogFileWriter writer(folder.path);
    writer.append("first", day);
    writer.flush();

    // A file size limit makes the next write short, as a full disk does.
    auto previousSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit small = saved;
    small.rlim_cur = 10;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    writer.append("second line", day);
    writer.flush();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousSignal);

    writer.append("third", day);
    writer.flush();
    EXPECT_EQ(contents(folder.path / "2025-01-02.log"), "first\nthird\n");
}

TEST(EventStream, DeliversInOrderThenReportsTheEnd) {
    EventStream<int> stream;
    std::thread producer([&] {
        for (int value = 0; value < 1000; ++value) stream.yield(value);
        stream.finish();
        stream.yield(-1);  // after the end: ignored
    });
    int expected = 0;
    while (auto value = stream.next()) EXPECT_EQ(*value, expected++);
    producer.join();
    EXPECT_EQ(expected, 1000);
    EXPECT_TRUE(stream.isFinished());
    EXPECT_EQ(stream.next(), std::nullopt);
}
