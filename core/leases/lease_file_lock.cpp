#include "core/leases/lease_file_lock.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <utility>

#include "core/addressing/plain_text.hpp"
#include "core/addressing/private_files.hpp"
#include "core/leases/folder_trust.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/lease_file_error.hpp"

namespace anvil {

namespace {

namespace fs = std::filesystem;

// Longer than any process id with its newline; what is written there is read back as hostile.
constexpr std::size_t pidTextLimit = 16;

std::string inUseSentence(const fs::path& file, std::optional<pid_t> holder) {
    std::string sentence = plainText(file.string()) + " is in use by another DHCP Anvil";
    if (holder) sentence += " (process " + std::to_string(*holder) + ")";
    return sentence + "; stop it or use another lease file";
}

LeaseFileError lockError(const fs::path& lock, int code) {
    return LeaseFileError(LeaseFileError::Kind::lock, code,
                          "Could not lock " + plainText(lock.filename().string()) + ": " + std::strerror(code));
}

// The holder's process id as its lock file names it: digits and a newline, nothing else.
std::optional<pid_t> readHolder(int descriptor) {
    char text[pidTextLimit] = {};
    ssize_t length = ::pread(descriptor, text, sizeof text, 0);
    if (length <= 1 || static_cast<std::size_t>(length) == sizeof text || text[length - 1] != '\n')
        return std::nullopt;
    pid_t holder = 0;
    auto [end, error] = std::from_chars(text, text + length - 1, holder);
    if (error != std::errc{} || end != text + length - 1 || holder <= 0) return std::nullopt;
    return holder;
}

bool writeHolder(int descriptor) {
    std::string text = std::to_string(::getpid()) + "\n";
    if (::ftruncate(descriptor, 0) != 0) return false;
    return ::pwrite(descriptor, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

int lockExclusive(int descriptor) {
    // Bounded: a signal storm must not hold the start.
    for (int attempt = 0; attempt < 8; ++attempt) {
        if (::flock(descriptor, LOCK_EX | LOCK_NB) == 0) return 0;
        if (errno != EINTR) return errno;
    }
    return EINTR;
}

}  // namespace

LeaseFileInUse::LeaseFileInUse(fs::path file, std::optional<pid_t> holder)
    : std::runtime_error(inUseSentence(file, holder)), file(std::move(file)), holder(holder) {}

fs::path LeaseFileLock::lockURL(const fs::path& leaseFile) {
    fs::path lock = leaseFile;
    lock += ".lock";
    return lock;
}

LeaseFileLock LeaseFileLock::acquire(const fs::path& leaseFile) {
    fs::path lock = lockURL(leaseFile);
    fs::path directory = lock.parent_path();
    if (!directory.empty()) {
        if (auto error = PrivateFiles::createDirectories(directory))
            throw LeaseFileError(LeaseFileError::Kind::createDirectory, error.value(),
                                 "Could not create the folder " + plainText(directory.string()) + ": " +
                                     std::strerror(error.value()));
        // The folders just made, or found made by someone else, are checked as those that were there.
        LeaseFile::resolve(leaseFile);
    }
    // No symbolic link in its place: the lock is always the file beside the lease file.
    int descriptor = PrivateFiles::openOrCreate(AT_FDCWD, lock, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW);
    if (descriptor < 0) throw lockError(lock, errno);
    // A lock another user made is theirs to hold whenever they like: refused, never waited on.
    struct stat status {};
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        int code = S_ISREG(status.st_mode) ? errno : EINVAL;
        ::close(descriptor);
        throw lockError(lock, code);
    }
    auto trust = folderTrust(FolderRole::lockFile, status.st_uid, status.st_mode, ::geteuid());
    if (trust != FolderTrust::trusted) {
        ::close(descriptor);
        throw LeaseFileError(LeaseFileError::Kind::unsafe, 0, folderRefusal(FolderRole::lockFile, trust, lock));
    }
    if (int code = lockExclusive(descriptor)) {
        // Closed without a word written: the file is the holder's.
        auto holder = code == EWOULDBLOCK ? readHolder(descriptor) : std::nullopt;
        ::close(descriptor);
        if (code == EWOULDBLOCK) throw LeaseFileInUse(leaseFile, holder);
        throw lockError(lock, code);
    }
    LeaseFileLock held(descriptor);
    if (!writeHolder(descriptor)) throw lockError(lock, errno);
    return held;
}

LeaseFileLock::LeaseFileLock(LeaseFileLock&& other) noexcept
    : descriptor_(std::exchange(other.descriptor_, -1)) {}

LeaseFileLock& LeaseFileLock::operator=(LeaseFileLock&& other) noexcept {
    if (this != &other) {
        release();
        descriptor_ = std::exchange(other.descriptor_, -1);
    }
    return *this;
}

LeaseFileLock::~LeaseFileLock() { release(); }

void LeaseFileLock::release() noexcept {
    if (descriptor_ < 0) return;
    // Emptied while still held, so that no later reader takes a gone process for the holder.
    [[maybe_unused]] int ignored = ::ftruncate(descriptor_, 0);
    ::close(std::exchange(descriptor_, -1));
}

}  // namespace anvil
