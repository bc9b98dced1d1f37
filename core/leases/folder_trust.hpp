#pragma once
// Whether another user could redirect or block the lease files through the folders that hold
// them, judged from each folder's owner and mode as ssh judges the folders of its keys.
#include <cstdint>
#include <filesystem>
#include <string>

namespace anvil {

enum class FolderRole {
    leaseFolder,  // holds the lease files
    above,        // any folder on the way to it, up to /
    lockFile,     // "<lease>.lock" itself
};

enum class FolderTrust {
    trusted,
    ownedByOther,      // another user, not root, owns it
    writableByOthers,  // group or others may add and rename names in it
    shared,            // writable by all with the sticky bit: others may still add names (/tmp)
};

// `user` is the effective user id of the writer; root may own anything on the way.
FolderTrust folderTrust(FolderRole role, std::uint32_t owner, std::uint32_t mode, std::uint32_t user);

// The sentence that refuses `path` for `trust` (not trusted): what is wrong and what to do.
std::string folderRefusal(FolderRole role, FolderTrust trust, const std::filesystem::path& path);

}  // namespace anvil
