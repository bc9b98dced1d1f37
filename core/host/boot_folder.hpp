#pragma once
// Opening files of the served boot folder read-only, never anything outside it.
#include <cstdint>
#include <string>
#include <variant>

namespace anvil {

// The boot folder itself could not be opened.
struct BootFolderFailure {
    std::string path;
    int code = 0;
    // "cannot open the boot folder <path>: <strerror> (errno N)"
    std::string description() const;
    friend bool operator==(const BootFolderFailure&, const BootFolderFailure&) = default;
};

// An owned, close-on-exec, blocking descriptor of the folder (O_PATH); the caller closes it.
std::variant<int, BootFolderFailure> openBootFolder(const std::string& path);

// An owned, close-on-exec, blocking, read-only descriptor of a regular file and its size then.
struct OpenedBootFile {
    int fd = -1;
    std::uint64_t size = 0;
};

// Why a name is not served. A client is told "file not found" whatever the kind; `detail` is the
// real reason for the user, without the name ("a folder", "a symbolic link leads out of the
// boot folder").
struct BootFileRefusal {
    enum class Kind {
        notFound,
        outsideFolder,  // "..", an absolute name, or a symbolic link pointing out
        notAFile,       // a folder, a device, a FIFO, a socket
        unreadable,     // permission, I/O
    };
    Kind kind = Kind::notFound;
    std::string detail;
    friend bool operator==(const BootFileRefusal&, const BootFileRefusal&) = default;
};

// How a name is resolved beneath the folder: openat2(RESOLVE_BENEATH) where the kernel has it,
// else a walk that opens one component at a time. `walk` forces the second, for tests.
enum class BeneathResolution { automatic, walk };

// Opens `relative` (already normalized: "pxelinux.cfg/default") beneath `folderFd`.
std::variant<OpenedBootFile, BootFileRefusal> openBeneath(int folderFd, const std::string& relative,
                                                          BeneathResolution resolution = BeneathResolution::automatic);

// Whether this kernel resolves names with openat2; false once it said ENOSYS.
bool kernelResolvesBeneath();

}  // namespace anvil
