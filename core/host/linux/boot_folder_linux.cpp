#if defined(__linux__)
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

#include "core/host/boot_folder.hpp"

namespace anvil {

namespace {

using Kind = BootFileRefusal::Kind;

// Longer than any name a TFTP request can carry; PATH_MAX less its terminating NUL.
constexpr std::size_t longestName = 4095;

std::atomic<bool> openat2Missing{false};

BootFileRefusal openRefusal(int code) {
    switch (code) {
        case ENOENT:
        case ENAMETOOLONG: return {Kind::notFound, "no such file in the boot folder"};
        case ENOTDIR: return {Kind::notFound, "a part of the name is not a folder"};
        case EXDEV: return {Kind::outsideFolder, "a symbolic link or \"..\" leads out of the boot folder"};
        case ELOOP: return {Kind::outsideFolder, "a link to /proc or too many symbolic links"};
        case ENXIO:
        case ENODEV: return {Kind::notAFile, "a device or a socket"};
        case EISDIR: return {Kind::notAFile, "a folder"};
        default: return {Kind::unreadable, std::string(std::strerror(code)) + " (errno " + std::to_string(code) + ")"};
    }
}

// Only a regular file is served; the O_NONBLOCK that kept a FIFO's open from waiting is taken off.
std::variant<OpenedBootFile, BootFileRefusal> checkedFile(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        int code = errno;
        ::close(fd);
        return openRefusal(code);
    }
    const char* what = nullptr;
    if (S_ISDIR(info.st_mode))
        what = "a folder";
    else if (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))
        what = "a device";
    else if (S_ISFIFO(info.st_mode))
        what = "a FIFO";
    else if (S_ISSOCK(info.st_mode))
        what = "a socket";
    else if (!S_ISREG(info.st_mode))
        what = "not a regular file";
    if (what) {
        ::close(fd);
        return BootFileRefusal{Kind::notAFile, what};
    }
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int code = errno;
        ::close(fd);
        return openRefusal(code);
    }
    return OpenedBootFile{fd, static_cast<std::uint64_t>(info.st_size)};
}

constexpr int fileFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

// -1 with errno ENOSYS when the kernel (or a seccomp filter) has no openat2.
int openat2Beneath(int folderFd, const std::string& relative) {
#if defined(SYS_openat2)
    open_how how{};
    how.flags = fileFlags;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    while (true) {
        long fd = ::syscall(SYS_openat2, folderFd, relative.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EINTR) return static_cast<int>(fd);
    }
#else
    (void)folderFd;
    (void)relative;
    errno = ENOSYS;
    return -1;
#endif
}

// Why opening `name` in `folder` without following links failed: a symbolic link says so.
BootFileRefusal walkRefusal(int folder, const std::string& name, int code) {
    if (code == ENOTDIR || code == ELOOP) {
        struct stat info {};
        if (::fstatat(folder, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode))
            return {Kind::outsideFolder, "a symbolic link, which is not followed on a kernel without openat2"};
    }
    return openRefusal(code);
}

// Stricter than openat2, which follows links that stay inside: without the kernel's check every
// link is refused, since one that stays inside now could be changed to point out between steps.
std::variant<OpenedBootFile, BootFileRefusal> walkBeneath(int folderFd, const std::string& relative) {
    std::vector<std::string> components;
    std::size_t start = 0;
    while (start <= relative.size()) {
        auto end = relative.find('/', start);
        if (end == std::string::npos) end = relative.size();
        auto component = relative.substr(start, end - start);
        if (component == "..") return BootFileRefusal{Kind::outsideFolder, "\"..\" leads out of the boot folder"};
        if (!component.empty() && component != ".") components.push_back(std::move(component));
        start = end + 1;
    }
    if (components.empty()) return BootFileRefusal{Kind::notAFile, "a folder"};

    int current = folderFd;
    auto closeOwned = [&] {
        if (current != folderFd) ::close(current);
    };
    for (std::size_t i = 0; i + 1 < components.size(); ++i) {
        int next = ::openat(current, components[i].c_str(), O_PATH | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC);
        if (next < 0) {
            auto refusal = walkRefusal(current, components[i], errno);
            closeOwned();
            return refusal;
        }
        closeOwned();
        current = next;
    }
    int fd = ::openat(current, components.back().c_str(), fileFlags | O_NOFOLLOW);
    if (fd < 0) {
        auto refusal = walkRefusal(current, components.back(), errno);
        closeOwned();
        return refusal;
    }
    closeOwned();
    return checkedFile(fd);
}

}  // namespace

std::string BootFolderFailure::description() const {
    return "cannot open the boot folder " + path + ": " + std::strerror(code) + " (errno " + std::to_string(code) + ")";
}

std::variant<int, BootFolderFailure> openBootFolder(const std::string& path) {
    if (path.empty() || path.find('\0') != std::string::npos) return BootFolderFailure{path, ENOENT};
    // O_PATH: a folder the user may enter but not list still serves the files it names.
    int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return BootFolderFailure{path, errno};
    return fd;
}

bool kernelResolvesBeneath() {
#if defined(SYS_openat2)
    return !openat2Missing.load(std::memory_order_relaxed);
#else
    return false;
#endif
}

std::variant<OpenedBootFile, BootFileRefusal> openBeneath(int folderFd, const std::string& relative,
                                                          BeneathResolution resolution) {
    if (relative.empty()) return BootFileRefusal{Kind::notFound, "an empty name"};
    if (relative.size() > longestName) return BootFileRefusal{Kind::notFound, "the name is too long"};
    if (relative.find('\0') != std::string::npos)
        return BootFileRefusal{Kind::notFound, "the name contains a NUL byte"};
    if (relative.front() == '/') return BootFileRefusal{Kind::outsideFolder, "an absolute name"};

    if (resolution == BeneathResolution::automatic && !openat2Missing.load(std::memory_order_relaxed)) {
        int fd = openat2Beneath(folderFd, relative);
        if (fd >= 0) return checkedFile(fd);
        if (errno != ENOSYS) return openRefusal(errno);
        openat2Missing.store(true, std::memory_order_relaxed);
    }
    return walkBeneath(folderFd, relative);
}

}  // namespace anvil
#endif
