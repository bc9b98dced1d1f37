// Files opened beneath a real temporary boot folder, by openat2 and by the component walk.
#include "core/host/boot_folder.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace anvil {
namespace {

namespace fs = std::filesystem;
using Kind = BootFileRefusal::Kind;

// <temporary>/outside/secret beside <temporary>/boot, the folder served.
struct BootTree {
    fs::path root;
    fs::path boot;
    bool hasDevice = false;
    int socketFD = -1;

    BootTree() {
        char pattern[] = "/tmp/anvil-boot-XXXXXX";
        root = ::mkdtemp(pattern);
        boot = root / "boot";
        fs::create_directories(boot / "pxelinux.cfg");
        fs::create_directories(boot / "folder");
        fs::create_directories(root / "outside");
        write(root / "outside" / "secret", "secret");
        write(boot / "pxelinux.0", "abc");
        write(boot / "pxelinux.cfg" / "default", "DEFAULT linux\n");
        write(boot / "locked", "locked");
        ::chmod((boot / "locked").c_str(), 0);
        fs::create_symlink("/etc/passwd", boot / "absolute-link");
        fs::create_symlink("../../etc/passwd", boot / "relative-link");
        fs::create_symlink("../outside/secret", boot / "sibling-link");
        fs::create_symlink("pxelinux.0", boot / "inside-link");
        fs::create_symlink("pxelinux.cfg", boot / "folder-link");
        fs::create_symlink("..", boot / "parent-link");
        fs::create_symlink("/proc/self/root/etc/passwd", boot / "magic-link");
        ::mkfifo((boot / "fifo").c_str(), 0644);
        hasDevice = ::geteuid() == 0 && ::mknod((boot / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3)) == 0;
        socketFD = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::string path = (boot / "socket").string();
        if (path.size() < sizeof address.sun_path) {
            std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
            ::bind(socketFD, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        }
        // uid 65534 may enter both folders, and read all but "locked".
        fs::permissions(root, fs::perms(0755));
        fs::permissions(boot, fs::perms(0755));
    }
    ~BootTree() {
        if (socketFD >= 0) ::close(socketFD);
        std::error_code ignored;
        fs::remove_all(root, ignored);
    }
    static void write(const fs::path& path, const std::string& text) { std::ofstream(path) << text; }
};

// "opened <size> <contents>" or the refusal's kind, as one comparable line.
std::string outcome(const std::variant<OpenedBootFile, BootFileRefusal>& result) {
    if (auto refusal = std::get_if<BootFileRefusal>(&result)) {
        switch (refusal->kind) {
            case Kind::notFound: return "not found";
            case Kind::outsideFolder: return "outside";
            case Kind::notAFile: return "not a file";
            case Kind::unreadable: return "unreadable";
        }
    }
    auto file = std::get<OpenedBootFile>(result);
    std::string text = "opened " + std::to_string(file.size) + " ";
    char buffer[64];
    auto length = ::read(file.fd, buffer, sizeof buffer);
    if (length > 0) text.append(buffer, static_cast<std::size_t>(length));
    if (::fcntl(file.fd, F_GETFL) & O_NONBLOCK) text += " (non-blocking)";
    if (!(::fcntl(file.fd, F_GETFD) & FD_CLOEXEC)) text += " (inherited)";
    ::close(file.fd);
    return text;
}

TEST(BootFolder, OpensRegularFilesBeneathTheFolderAndRefusesEverythingElse) {
    BootTree tree;
    auto opened = openBootFolder(tree.boot.string());
    ASSERT_TRUE(std::holds_alternative<int>(opened));
    int folder = std::get<int>(opened);

    struct Row {
        std::string name;
        std::string withOpenat2;
        std::string withWalk;
    };
    const Row rows[] = {
        {"pxelinux.0", "opened 3 abc", "opened 3 abc"},
        {"pxelinux.cfg/default", "opened 14 DEFAULT linux\n", "opened 14 DEFAULT linux\n"},
        {"./pxelinux.0", "opened 3 abc", "opened 3 abc"},
        {"missing", "not found", "not found"},
        {"pxelinux.cfg/missing", "not found", "not found"},
        {"pxelinux.0/default", "not found", "not found"},
        {"", "not found", "not found"},
        {std::string("pxelinux.0\0x", 12), "not found", "not found"},
        {std::string(5000, 'a'), "not found", "not found"},
        {"..", "outside", "outside"},
        {"../outside/secret", "outside", "outside"},
        {"/etc/passwd", "outside", "outside"},
        {"absolute-link", "outside", "outside"},
        {"relative-link", "outside", "outside"},
        {"sibling-link", "outside", "outside"},
        {"parent-link/outside/secret", "outside", "outside"},
        {"magic-link", "outside", "outside"},
        // The kernel's check follows links that stay inside; the walk follows none.
        {"inside-link", "opened 3 abc", "outside"},
        {"folder-link/default", "opened 14 DEFAULT linux\n", "outside"},
        {"pxelinux.cfg/../pxelinux.0", "opened 3 abc", "outside"},
        {"folder", "not a file", "not a file"},
        {".", "not a file", "not a file"},
        {"fifo", "not a file", "not a file"},
        {"socket", "not a file", "not a file"},
        {"null", tree.hasDevice ? "not a file" : "not found", tree.hasDevice ? "not a file" : "not found"},
    };
    for (auto resolution : {BeneathResolution::automatic, BeneathResolution::walk}) {
        if (resolution == BeneathResolution::automatic && !kernelResolvesBeneath()) continue;
        for (const auto& row : rows) {
            auto expected = resolution == BeneathResolution::walk ? row.withWalk : row.withOpenat2;
            EXPECT_EQ(outcome(openBeneath(folder, row.name, resolution)), expected)
                << row.name << (resolution == BeneathResolution::walk ? " (walk)" : " (openat2)");
        }
    }
    ::close(folder);
}

TEST(BootFolder, AFileTheUserMayNotReadIsUnreadableNotMissing) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become uid 65534";
    BootTree tree;
    for (auto resolution : {BeneathResolution::automatic, BeneathResolution::walk}) {
        int ends[2];
        ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
        pid_t child = ::fork();
        if (child == 0) {
            std::string text = "cannot become uid 65534";
            if (::setresgid(65534, 65534, 65534) == 0 && ::setresuid(65534, 65534, 65534) == 0) {
                auto opened = openBootFolder(tree.boot.string());
                text = "cannot open the folder";
                if (auto folder = std::get_if<int>(&opened))
                    text = outcome(openBeneath(*folder, "locked", resolution)) + "|" +
                           outcome(openBeneath(*folder, "pxelinux.0", resolution));
            }
            [[maybe_unused]] auto written = ::write(ends[1], text.data(), text.size());
            ::_exit(0);
        }
        ::close(ends[1]);
        char buffer[256] = {};
        auto length = ::read(ends[0], buffer, sizeof buffer - 1);
        ::close(ends[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_EQ(std::string(buffer, length > 0 ? static_cast<std::size_t>(length) : 0), "unreadable|opened 3 abc");
    }
}

TEST(BootFolder, AFolderThatCannotBeOpenedSaysWhich) {
    BootTree tree;
    struct Row {
        std::string path;
        int code;
    };
    const Row rows[] = {
        {(tree.root / "missing").string(), ENOENT},
        {(tree.boot / "pxelinux.0").string(), ENOTDIR},
        {"", ENOENT},
    };
    for (const auto& row : rows) {
        auto opened = openBootFolder(row.path);
        auto failure = std::get_if<BootFolderFailure>(&opened);
        ASSERT_NE(failure, nullptr) << row.path;
        EXPECT_EQ(failure->code, row.code) << row.path;
        EXPECT_TRUE(failure->description().starts_with("cannot open the boot folder " + row.path + ": "));
    }
}

}  // namespace
}  // namespace anvil
