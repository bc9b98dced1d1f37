// Lease files nobody else can redirect: a link planted as the next journal, a lease path that is
// a link, and folders or a lock another user could change or hold.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "serve_process.hpp"

namespace {

namespace fs = std::filesystem;

struct Folder {
    fs::path path;
    Folder() {
        char pattern[] = "/tmp/anvil-redirect-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Folder() { fs::remove_all(path); }
};

std::vector<std::string> serveArguments(const fs::path& leases) {
    return {"serve",         "--test-loopback",
            "--port",        std::to_string(freeLoopbackPort()),
            "--client-port", std::to_string(freeLoopbackPort()),
            "--leases",      leases.string()};
}

TEST(LeaseRedirect, aLinkPlantedAsTheNextJournalLeavesItsTargetWhole) {
    Folder folder;
    auto leases = folder.path / "leases.json", target = folder.path / "precious.txt";
    std::ofstream(target) << "precious";
    ServeProcess serve(serveArguments(leases));
    ASSERT_TRUE(serve.waitForOutput("START")) << serve.err();
    fs::create_symlink(target, leases.string() + ".journal.next");  // the stop's compaction makes it
    EXPECT_EQ(serve.interrupt(), 0) << serve.err();
    EXPECT_EQ(readWhole(target.string()), "precious");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(leases.string() + ".journal")));
}

TEST(LeaseRedirect, aLeasePathThatIsALinkWritesTheRealFileUnderOneLock) {
    Folder real, elsewhere;
    auto file = real.path / "leases.json", link = elsewhere.path / "leases.json";
    std::ofstream(file) << R"({"leases" : [], "quarantine" : [], "version" : 1})";
    fs::create_symlink(file, link);
    auto before = fs::last_write_time(file);
    ServeProcess first(serveArguments(link));
    ASSERT_TRUE(first.waitForOutput("START")) << first.err();
    ServeProcess second(serveArguments(file));
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_NE(second.err().find("in use by another DHCP Anvil (process " + std::to_string(first.pid())),
              std::string::npos);
    EXPECT_EQ(first.interrupt(), 0) << first.err();
    EXPECT_TRUE(fs::is_symlink(link)) << "replaced by a copy";
    EXPECT_NE(fs::last_write_time(file), before);
    EXPECT_TRUE(fs::exists(file.string() + ".journal") && fs::exists(file.string() + ".lock"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link.string() + ".journal")) ||
                 fs::exists(fs::symlink_status(link.string() + ".lock")));
}

TEST(LeaseRedirect, foldersAndALockAnotherUserCouldChangeOrHoldAreRefused) {
    constexpr uid_t nobody = 65534;
    struct Case {
        mode_t mode;
        uid_t owner;
        bool squatted;     // uid 65534 made the lock (where it can) or was given it
        std::string said;  // after the folder's path
    } cases[] = {
        {01777, 0, true, " is shared with other users, who could plant links there to redirect the lease files"},
        {0777, 0, false, " can be changed by other users, who could redirect the lease files in it; run chmod go-w '"},
        {0755, nobody, false, " belongs to another user, who could redirect the lease files in it"},
        {0700, 0, true, "/leases.json.lock belongs to another user, who could hold it to keep DHCP Anvil from saving"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.said);
        Folder parent;
        auto folder = parent.path / "bench", lock = folder / "leases.json.lock";
        fs::create_directory(folder);
        ASSERT_EQ(
            ::chmod(parent.path.c_str(), 0755) | ::chown(folder.c_str(), c.owner, 0) | ::chmod(folder.c_str(), c.mode),
            0);
        if (c.squatted && fork() == 0) {  // made by uid 65534 where it may, else made and given to it
            if ((c.mode & S_IWOTH) &&
                (setgroups(0, nullptr) || setresgid(nobody, nobody, nobody) || setresuid(nobody, nobody, nobody)))
                _exit(1);
            int fd = open(lock.c_str(), O_CREAT | O_RDWR, 0644);
            _exit(fd < 0 || fchown(fd, nobody, nobody) != 0);
        }
        if (c.squatted) wait(nullptr);
        ASSERT_EQ(c.squatted, fs::exists(lock));
        ServeProcess serve(serveArguments(folder / "leases.json"));
        EXPECT_EQ(serve.waitForExit(), 1) << serve.out();
        EXPECT_NE(serve.err().find(folder.string() + c.said), std::string::npos) << serve.err();
        auto listing = runTool({"leases", "--leases", (folder / "leases.json").string()});
        bool lockOnly = c.said.starts_with("/");  // a listing takes no lock
        EXPECT_EQ(listing.status, lockOnly ? 0 : 1);
        EXPECT_TRUE(lockOnly || listing.err.find(folder.string() + c.said) != std::string::npos) << listing.err;
        EXPECT_FALSE(fs::exists(folder / "leases.json")) << "nothing was written";
    }
}

}  // namespace
