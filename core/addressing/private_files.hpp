#pragma once
// Files and folders only their owner may read: the lease files and the logs list the bench's devices.
#include <filesystem>
#include <system_error>

namespace anvil::PrivateFiles {

inline constexpr auto fileMode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
inline constexpr auto folderMode = std::filesystem::perms::owner_all;

// Creates the folder and its missing parents as 0700, whatever the umask; folders that exist are
// left as their owner set them.
std::error_code createDirectories(const std::filesystem::path& directory);

// Opens `name` in `folder` (a descriptor, or AT_FDCWD) with `flags`; a file that is not there is
// created with `mode`, whatever the umask, and one that is keeps its own. -1 with errno on failure.
int openOrCreate(int folder, const std::filesystem::path& name, int flags, std::filesystem::perms mode = fileMode);

// The permission bits of an existing file, so that a file put in its place keeps the owner's
// choice; `fileMode` when there is none.
std::filesystem::perms modeOf(const std::filesystem::path& file);

}  // namespace anvil::PrivateFiles
