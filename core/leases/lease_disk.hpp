#pragma once
// The disk operations of the lease files: whole reads, atomic replacement, moving aside, and a
// file written at known offsets and flushed. Failures are thrown as LeaseFileError.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/addressing/date.hpp"
#include "core/addressing/private_files.hpp"
#include "core/leases/lease_file_error.hpp"

namespace anvil::LeaseDisk {

// The whole file, or nothing when there is no file; a link in its place is a read error.
std::optional<std::string> read(const std::filesystem::path& url);
// Moves the file to "<name>.corrupt-<local time>" beside it, never over an earlier one.
std::filesystem::path moveAside(const std::filesystem::path& url, Date now);
// Missing folders are made private (0700).
void createDirectories(const std::filesystem::path& directory);
// Writes a new ".<name>.tmp-<UUID>" beside `url` (never a name already taken) with the mode of
// `url` (0600 when there is none) and flushes it; returns its path.
std::filesystem::path writeTemporary(const std::filesystem::path& url, std::string_view bytes);
// Renames over `url`; on failure leaves `from` in place (it may be the only copy, or a snapshot a
// retry can still put in place) and throws "Could not replace <name>: …".
void rename(const std::filesystem::path& from, const std::filesystem::path& url);
// Makes renames and new names durable; a file system that cannot sync a folder is not an error.
void syncDirectory(const std::filesystem::path& url);
void removeQuietly(const std::filesystem::path& url);

// A file written at offsets the writer keeps, so that a retried write lands where the failed one
// began and leaves no stray bytes behind.
class OffsetFile {
public:
    // Told of each flush that succeeded, so that tests can count them; nothing when null.
    using Flushed = std::function<void(const std::filesystem::path&)>;

    OffsetFile() = default;
    // Makes the file afresh with `mode`, whatever the umask, with `first` written and flushed, and
    // renames it over `url` (replacing, never following, whatever is there).
    static OffsetFile create(const std::filesystem::path& url, std::string_view first,
                             std::filesystem::perms mode = PrivateFiles::fileMode, Flushed flushed = {});
    static OffsetFile openExisting(const std::filesystem::path& url, Flushed flushed = {});
    OffsetFile(OffsetFile&& other) noexcept;
    OffsetFile& operator=(OffsetFile&& other) noexcept;
    ~OffsetFile();

    bool isOpen() const { return fd_ >= 0; }
    const std::filesystem::path& url() const { return url_; }
    void writeAt(std::uint64_t offset, std::string_view bytes);
    // Allocates the file's blocks up to `end` rounded up to `step`, once per step, so that most
    // flushes of an append write data alone, not the file's new size and extents. A file system
    // that cannot allocate ahead is not an error: the writes then allocate as they go.
    void reserve(std::uint64_t end, std::uint64_t step);
    // fdatasync: the written bytes are on disk when it returns.
    void flush();
    void truncate(std::uint64_t length);
    void close();

private:
    OffsetFile(int fd, std::filesystem::path url, Flushed flushed)
        : fd_(fd), url_(std::move(url)), flushed_(std::move(flushed)) {}
    LeaseFileError failure(int code) const;

    int fd_ = -1;
    std::filesystem::path url_;
    Flushed flushed_;
    std::uint64_t reserved_ = 0;
};

}  // namespace anvil::LeaseDisk
