#include "core/leases/folder_trust.hpp"

#include <sys/stat.h>

#include "core/addressing/plain_text.hpp"
#include "core/host/host_setup.hpp"

namespace anvil {

FolderTrust folderTrust(FolderRole role, std::uint32_t owner, std::uint32_t mode, std::uint32_t user) {
    if (role == FolderRole::lockFile) return owner == user ? FolderTrust::trusted : FolderTrust::ownedByOther;
    if (owner != user && owner != 0) return FolderTrust::ownedByOther;
    if ((mode & (S_IWGRP | S_IWOTH)) == 0) return FolderTrust::trusted;
    // The sticky bit keeps others from renaming what is already there, so a folder on the way may
    // have it; in the lease folder itself they could still plant the names the store is about to make.
    if (role == FolderRole::above && (mode & S_ISVTX)) return FolderTrust::trusted;
    return (mode & S_ISVTX) ? FolderTrust::shared : FolderTrust::writableByOthers;
}

std::string folderRefusal(FolderRole role, FolderTrust trust, const std::filesystem::path& path) {
    const std::string shown = plainText(path.string());
    const std::string quoted = plainText(HostSetup::shellQuote(path.string()));
    if (role == FolderRole::lockFile)
        return shown +
               " belongs to another user, who could hold it to keep DHCP Anvil from saving leases; remove it (rm " +
               quoted + ") or use a lease file in a folder of your own";
    switch (trust) {
        case FolderTrust::ownedByOther:
            return "The folder " + shown +
                   " belongs to another user, who could redirect the lease files in it; use a lease file in a folder "
                   "of your own";
        case FolderTrust::shared:
            return "The folder " + shown +
                   " is shared with other users, who could plant links there to redirect the lease files; use a "
                   "lease file in a folder of your own";
        case FolderTrust::writableByOthers:
            return "The folder " + shown +
                   " can be changed by other users, who could redirect the lease files in it; run chmod go-w " +
                   quoted + " or use a lease file in a folder of your own";
        case FolderTrust::trusted: break;
    }
    return {};
}

}  // namespace anvil
