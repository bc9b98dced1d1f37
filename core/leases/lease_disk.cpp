#include "core/leases/lease_disk.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>
#include <vector>

#include "core/addressing/private_files.hpp"

namespace anvil::LeaseDisk {

namespace {

namespace fs = std::filesystem;

std::string systemText(int code) { return std::strerror(code); }

std::string fileName(const fs::path& url) { return url.filename().string(); }

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closing can report a late write error, so it is checked where it matters.
    int release() { return ::close(std::exchange(fd_, -1)); }

private:
    int fd_;
};

enum class ReadOutcome { read, missing };

ReadOutcome readWholeFile(const fs::path& url, std::string& contents) {
    auto readError = [&](int code) {
        return LeaseFileError(LeaseFileError::Kind::read, code,
                              "Could not read " + fileName(url) + ": " + systemText(code));
    };
    // Non-blocking so that a FIFO in the file's place cannot hang the start; a link in its place
    // (the path was resolved at start) is refused, not followed.
    FileDescriptor file(::open(url.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW));
    if (file.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR) return ReadOutcome::missing;
        throw readError(errno);
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0) throw readError(errno);
    if (S_ISDIR(status.st_mode)) throw readError(EISDIR);
    if (!S_ISREG(status.st_mode))
        throw LeaseFileError(LeaseFileError::Kind::read, 0, "Could not read " + fileName(url) + ": Not a regular file");
    try {
        contents.clear();
        contents.reserve(static_cast<std::size_t>(status.st_size));
        char buffer[65536];
        while (true) {
            ssize_t count = ::read(file.get(), buffer, sizeof buffer);
            if (count < 0) {
                if (errno == EINTR) continue;
                throw readError(errno);
            }
            if (count == 0) break;
            contents.append(buffer, static_cast<std::size_t>(count));
        }
    } catch (const std::bad_alloc&) {
        throw readError(ENOMEM);
    }
    return ReadOutcome::read;
}

std::string setAsideStamp(Date now) {
    auto seconds = static_cast<std::time_t>(std::floor(now.secondsSince1970));
    std::tm local{};
    localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04d%02d%02d-%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
    return stamp;
}

// Moves without replacing: an earlier set-aside file of the same second must not be lost, so a
// taken name gets "-2", "-3", ... appended.
fs::path moveAsideFile(const fs::path& url, Date now) {
    const std::string baseName = fileName(url) + ".corrupt-" + setAsideStamp(now);
    int code = 0;
    for (int attempt = 1; attempt <= 100; ++attempt) {
        fs::path target = url.parent_path() / (attempt == 1 ? baseName : baseName + "-" + std::to_string(attempt));
        if (::renameat2(AT_FDCWD, url.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return target;
        code = errno;
        if (code == EEXIST) continue;
        if (code != EINVAL && code != ENOSYS) break;
        // A file system without the no-replace flag: check first, then rename.
        struct stat existing {};
        if (::lstat(target.c_str(), &existing) == 0) {
            code = EEXIST;
            continue;
        }
        if (::rename(url.c_str(), target.c_str()) == 0) return target;
        code = errno;
        break;
    }
    throw LeaseFileError(LeaseFileError::Kind::moveAside, code,
                         "Could not move " + fileName(url) + " aside: " + systemText(code));
}

std::string newUUID() {
    std::random_device source;
    std::uint8_t bytes[16];
    for (std::size_t index = 0; index < 16; index += 4) {
        auto word = source();
        for (std::size_t part = 0; part < 4; ++part)
            bytes[index + part] = static_cast<std::uint8_t>(word >> (8 * part));
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40);  // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);  // RFC 4122 variant
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0],
                  bytes[1], bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10],
                  bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

// The error number of the failed write, 0 when everything was written.
int writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::write(fd, bytes.data(), bytes.size());
        if (count < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
    }
    return 0;
}

// A new file ".<name>.tmp-<UUID>" beside `url`, made here and nowhere else: never a name that is
// already there (a link planted under it would be followed), a fresh one tried instead.
int createFresh(const fs::path& url, mode_t mode, fs::path& made) {
    fs::path directory = url.parent_path();
    if (directory.empty()) directory = ".";
    for (int attempt = 0; attempt < 8; ++attempt) {
        // Appended, not `"." + name`: g++ 12 warns falsely (-Wrestrict) on that form in optimised builds.
        std::string name = ".";
        name.append(fileName(url)).append(".tmp-").append(newUUID());
        made = directory / name;
        int fd = ::open(made.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            ::fchmod(fd, mode);  // whatever the umask
            return fd;
        }
        if (errno != EEXIST) break;
    }
    return -1;
}

// Writes, flushes and closes a fresh temporary file; any failure removes it and is thrown.
fs::path writeTemporaryFile(const fs::path& url, std::string_view bytes) {
    fs::path temporary;
    auto writeError = [&](int code) {
        ::unlink(temporary.c_str());
        return LeaseFileError(LeaseFileError::Kind::write, code,
                              "Could not write " + fileName(url) + ": " + systemText(code));
    };
    // The copy takes the place of the file, so it takes its mode too: a mode the user chose stays.
    auto mode = static_cast<mode_t>(PrivateFiles::modeOf(url));
    FileDescriptor file(createFresh(url, mode, temporary));
    if (file.get() < 0)
        throw LeaseFileError(LeaseFileError::Kind::write, errno,
                             "Could not write " + fileName(url) + ": " + systemText(errno));
    if (int code = writeAll(file.get(), bytes)) throw writeError(code);
    // Without this a crash after the rename can leave an empty or truncated lease file.
    if (::fsync(file.get()) != 0) throw writeError(errno);
    if (file.release() != 0) throw writeError(errno);
    return temporary;
}

}  // namespace

std::optional<std::string> read(const fs::path& url) {
    std::string contents;
    if (readWholeFile(url, contents) == ReadOutcome::missing) return std::nullopt;
    return contents;
}

fs::path moveAside(const fs::path& url, Date now) { return moveAsideFile(url, now); }

void createDirectories(const fs::path& directory) {
    // The folders about to be made, so that each new name is made durable in its parent.
    std::vector<fs::path> missing;
    std::error_code ignored;
    for (fs::path at = directory; !at.empty() && at != at.root_path() && !fs::exists(at, ignored);
         at = at.parent_path())
        missing.push_back(at);
    auto error = PrivateFiles::createDirectories(directory);
    if (error)
        throw LeaseFileError(LeaseFileError::Kind::createDirectory, error.value(),
                             "Could not create the folder " + directory.string() + ": " + systemText(error.value()));
    for (auto made = missing.rbegin(); made != missing.rend(); ++made) syncDirectory(*made);
}

fs::path writeTemporary(const fs::path& url, std::string_view bytes) { return writeTemporaryFile(url, bytes); }

void rename(const fs::path& from, const fs::path& url) {
    if (::rename(from.c_str(), url.c_str()) != 0) {
        int code = errno;
        throw LeaseFileError(LeaseFileError::Kind::replace, code,
                             "Could not replace " + fileName(url) + ": " + systemText(code));
    }
}

void syncDirectory(const fs::path& url) {
    fs::path directory = url.parent_path();
    if (directory.empty()) directory = ".";
    FileDescriptor folder(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.get() >= 0) ::fsync(folder.get());
}

void removeQuietly(const fs::path& url) { ::unlink(url.c_str()); }

OffsetFile OffsetFile::create(const fs::path& url, std::string_view first, fs::perms mode, Flushed flushed) {
    // Made under a fresh name and renamed into place: whatever was planted at `url` (a link to
    // another file) is replaced, never opened.
    fs::path temporary;
    int fd = createFresh(url, static_cast<mode_t>(mode), temporary);
    if (fd < 0)
        throw LeaseFileError(LeaseFileError::Kind::write, errno,
                             "Could not write " + fileName(url) + ": " + systemText(errno));
    OffsetFile file(fd, url, std::move(flushed));
    try {
        file.writeAt(0, first);
        file.flush();
        LeaseDisk::rename(temporary, url);
    } catch (...) {
        removeQuietly(temporary);
        throw;
    }
    return file;
}

OffsetFile OffsetFile::openExisting(const fs::path& url, Flushed flushed) {
    int fd = ::open(url.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0)
        throw LeaseFileError(LeaseFileError::Kind::write, errno,
                             "Could not write " + fileName(url) + ": " + systemText(errno));
    return OffsetFile(fd, url, std::move(flushed));
}

OffsetFile::OffsetFile(OffsetFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      url_(std::move(other.url_)),
      flushed_(std::move(other.flushed_)),
      reserved_(std::exchange(other.reserved_, 0)) {}

OffsetFile& OffsetFile::operator=(OffsetFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        url_ = std::move(other.url_);
        flushed_ = std::move(other.flushed_);
        reserved_ = std::exchange(other.reserved_, 0);
    }
    return *this;
}

OffsetFile::~OffsetFile() { close(); }

LeaseFileError OffsetFile::failure(int code) const {
    return LeaseFileError(LeaseFileError::Kind::write, code,
                          "Could not write " + fileName(url_) + ": " + systemText(code));
}

void OffsetFile::writeAt(std::uint64_t offset, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t count = ::pwrite(fd_, bytes.data(), bytes.size(), static_cast<off_t>(offset));
        if (count < 0) {
            if (errno == EINTR) continue;
            throw failure(errno);
        }
        bytes.remove_prefix(static_cast<std::size_t>(count));
        offset += static_cast<std::uint64_t>(count);
    }
}

void OffsetFile::reserve(std::uint64_t end, std::uint64_t step) {
    if (end <= reserved_ || step == 0) return;
    std::uint64_t target = (end + step - 1) / step * step;
    // Mode 0 extends the file with zeros, which a reader of the journal takes as never written.
    if (::fallocate(fd_, 0, static_cast<off_t>(reserved_), static_cast<off_t>(target - reserved_)) == 0)
        reserved_ = target;
    else
        reserved_ = end;  // tried again at the next step
}

void OffsetFile::flush() {
    if (::fdatasync(fd_) != 0) throw failure(errno);
    if (flushed_) flushed_(url_);
}

void OffsetFile::truncate(std::uint64_t length) {
    if (::ftruncate(fd_, static_cast<off_t>(length)) != 0) throw failure(errno);
    reserved_ = std::min(reserved_, length);
}

void OffsetFile::close() {
    reserved_ = 0;
    if (fd_ >= 0) ::close(std::exchange(fd_, -1));
}

}  // namespace anvil::LeaseDisk
