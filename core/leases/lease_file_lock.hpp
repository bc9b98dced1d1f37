#pragma once
// The one-writer lock of a lease file: an exclusive flock on "<lease file>.lock" beside it, held
// by every process that writes the file, and naming its holder's process id.
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>

namespace anvil {

// Another process holds the lock; it changed nothing.
struct LeaseFileInUse : std::runtime_error {
    std::filesystem::path file;
    std::optional<pid_t> holder;  // none when the lock file does not (yet) name one

    LeaseFileInUse(std::filesystem::path file, std::optional<pid_t> holder);
    std::string description() const { return what(); }
};

class LeaseFileLock {
public:
    // Takes the lock of `leaseFile`, creating its folder and the lock file (0600) if needed.
    // Throws LeaseFileInUse when another open of the lock file holds it, LeaseFileError when the
    // lock file cannot be made or locked, and one of Kind::unsafe when another user owns it.
    static LeaseFileLock acquire(const std::filesystem::path& leaseFile);
    static std::filesystem::path lockURL(const std::filesystem::path& leaseFile);

    LeaseFileLock(LeaseFileLock&& other) noexcept;
    LeaseFileLock& operator=(LeaseFileLock&& other) noexcept;
    LeaseFileLock(const LeaseFileLock&) = delete;
    LeaseFileLock& operator=(const LeaseFileLock&) = delete;
    // Releases the lock; the lock file stays (removing it would let two writers lock two files).
    ~LeaseFileLock();

private:
    explicit LeaseFileLock(int descriptor) : descriptor_(descriptor) {}
    void release() noexcept;

    int descriptor_ = -1;
};

}  // namespace anvil
