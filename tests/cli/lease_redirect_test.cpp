// Lease files another process cannot redirect: a link planted under a name the server makes, a
// lease path that is itself a link, and folders or a lock another user could change or hold.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "serve_process.hpp"

namespace {

namespace fs = std::filesystem;

constexpr uid_t nobody = 65534;

struct Folder {
    fs::path path;
    Folder() {
        char pattern[] = "/tmp/anvil-redirect-XXXXXX";
        path = ::mkdtemp(pattern);
    }
    ~Folder() { fs::remove_all(path); }
};

void write(const fs::path& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::vector<std::string> serveArguments(const fs::path& leases) {
    return {"serve",         "--test-loopback",
            "--port",        std::to_string(freeLoopbackPort()),
            "--client-port", std::to_string(freeLoopbackPort()),
            "--leases",      leases.string()};
}

// Runs `work` as uid 65534 in a child; true when it succeeded there.
bool asNobody(const std::function<bool()>& work) {
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(0, nullptr) != 0 || ::setresgid(nobody, nobody, nobody) != 0 ||
            ::setresuid(nobody, nobody, nobody) != 0)
            ::_exit(2);
        ::_exit(work() ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

const std::string precious = "not a lease file, and it must stay whole\n";

TEST(LeaseRedirect, aLinkPlantedAsTheNextJournalLeavesItsTargetWhole) {
    Folder folder;
    auto leases = folder.path / "leases.json";
    auto target = folder.path / "precious.txt";
    write(target, precious);
    ServeProcess serve(serveArguments(leases));
    ASSERT_TRUE(serve.waitForOutput("START")) << serve.out() << serve.err();
    // The stop's compaction makes the next journal under this name.
    fs::create_symlink(target, leases.string() + ".journal.next");
    EXPECT_EQ(serve.interrupt(), 0) << serve.err();
    EXPECT_EQ(readWhole(target.string()), precious);
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(leases.string() + ".journal")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(leases.string() + ".journal.next")));
}

TEST(LeaseRedirect, aLeasePathThatIsALinkWritesTheRealFileUnderOneLock) {
    Folder real, elsewhere;
    auto file = real.path / "leases.json";
    auto link = elsewhere.path / "leases.json";
    write(file, R"({"leases" : [], "quarantine" : [], "version" : 1})");
    fs::create_symlink(file, link);
    auto before = fs::last_write_time(file);

    ServeProcess first(serveArguments(link));
    ASSERT_TRUE(first.waitForOutput("START")) << first.out() << first.err();
    ServeProcess second(serveArguments(file));
    EXPECT_EQ(second.waitForExit(), 1);
    EXPECT_NE(second.err().find("is in use by another DHCP Anvil (process " + std::to_string(first.pid()) + ")"),
              std::string::npos)
        << second.out() << second.err();
    EXPECT_EQ(first.interrupt(), 0) << first.err();

    EXPECT_TRUE(fs::is_symlink(link)) << "the link was replaced by a copy";
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(file)));
    EXPECT_NE(fs::last_write_time(file), before) << "the real file was not rewritten";
    EXPECT_TRUE(fs::exists(file.string() + ".journal"));
    EXPECT_TRUE(fs::exists(file.string() + ".lock"));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link.string() + ".journal")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(link.string() + ".lock")));
}

TEST(LeaseRedirect, foldersAndALockAnotherUserCouldChangeOrHoldAreRefused) {
    struct Case {
        const char* what;
        mode_t folderMode;
        uid_t folderOwner;
        bool nobodyHoldsTheLock;  // nobody makes the lock file (where they can) or is given it
        std::string said;         // after the folder's path, or the lock's
    } cases[] = {
        {"a shared folder like /tmp", 01777, 0, true,
         " is shared with other users, who could plant links there to redirect the lease files; use a lease file in "
         "a folder of your own"},
        {"a folder all may write", 0777, 0, false, " can be changed by other users"},
        {"a folder of another user", 0755, nobody, false,
         " belongs to another user, who could redirect the lease files in it"},
        {"a private folder with a lock another user holds", 0700, 0, true,
         ".lock belongs to another user, who could hold it to keep DHCP Anvil from saving leases; remove it (rm '"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Folder parent;
        auto folder = parent.path / "bench";
        fs::create_directory(folder);
        ::chmod(parent.path.c_str(), 0755);  // so that nobody reaches the folder
        ASSERT_EQ(::chown(folder.c_str(), c.folderOwner, 0), 0);
        ASSERT_EQ(::chmod(folder.c_str(), c.folderMode), 0);
        auto leases = folder / "leases.json";
        auto lock = folder / "leases.json.lock";
        if (c.nobodyHoldsTheLock) {
            if (c.folderMode & S_IWOTH) {
                ASSERT_TRUE(asNobody([&] { return ::close(::open(lock.c_str(), O_CREAT | O_RDWR, 0644)) == 0; }));
            } else {
                write(lock, "");
                ASSERT_EQ(::chown(lock.c_str(), nobody, nobody), 0);
            }
        }
        bool aboutTheLock = std::string(c.said).starts_with(".lock");
        std::string sentence = aboutTheLock ? folder.string() + "/leases.json" + c.said : folder.string() + c.said;

        ServeProcess serve(serveArguments(leases));
        EXPECT_EQ(serve.waitForExit(), 1) << serve.out();
        EXPECT_NE(serve.err().find(sentence), std::string::npos) << serve.err();
        auto listing = runTool({"leases", "--leases", leases.string()});
        EXPECT_EQ(listing.status, aboutTheLock ? 0 : 1) << "a listing takes no lock";
        if (!aboutTheLock) {
            EXPECT_NE(listing.err.find(sentence), std::string::npos) << listing.err;
        }
        EXPECT_FALSE(fs::exists(leases)) << "nothing was written";
    }
}

}  // namespace
