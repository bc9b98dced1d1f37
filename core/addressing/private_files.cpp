#include "core/addressing/private_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace anvil::PrivateFiles {

namespace fs = std::filesystem;

namespace {
mode_t bits(fs::perms mode) { return static_cast<mode_t>(mode & fs::perms::all); }
}  // namespace

std::error_code createDirectories(const fs::path& directory) {
    fs::path partial;
    for (const auto& piece : directory) {
        partial /= piece;
        if (piece == partial.root_path() || piece.empty()) continue;
        if (::mkdir(partial.c_str(), bits(folderMode)) == 0) {
            // mkdir's mode passes through the umask; a umask of 0277 must not leave it unwritable.
            ::chmod(partial.c_str(), bits(folderMode));
            continue;
        }
        if (errno != EEXIST) return {errno, std::generic_category()};
    }
    struct stat status {};
    if (::stat(directory.c_str(), &status) != 0) return {errno, std::generic_category()};
    if (!S_ISDIR(status.st_mode)) return {ENOTDIR, std::generic_category()};
    return {};
}

int openOrCreate(int folder, const fs::path& name, int flags, fs::perms mode) {
    flags &= ~(O_CREAT | O_EXCL);
    // Twice: the file may go between the two opens.
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = ::openat(folder, name.c_str(), flags | O_CREAT | O_EXCL, bits(mode));
        if (fd >= 0) {
            ::fchmod(fd, bits(mode));  // a file system without modes (vfat) refuses; that is no failure
            return fd;
        }
        if (errno != EEXIST) return -1;
        fd = ::openat(folder, name.c_str(), flags);
        if (fd >= 0 || errno != ENOENT) return fd;
    }
    return -1;
}

fs::perms modeOf(const fs::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return fileMode;
    return static_cast<fs::perms>(status.st_mode & 0777);
}

}  // namespace anvil::PrivateFiles
