// Who could redirect or block the lease files, from a folder's (or the lock's) owner and mode.
#include "core/leases/folder_trust.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

constexpr std::uint32_t me = 1000, other = 1001, root = 0;

TEST(FolderTrust, RefusesWhatAnotherUserCouldChange) {
    using enum FolderRole;
    using enum FolderTrust;
    struct Case {
        FolderRole role;
        std::uint32_t owner, mode, user;
        FolderTrust trust;
    } cases[] = {
        {leaseFolder, me, 0700, me, trusted},
        {leaseFolder, me, 0755, me, trusted},
        {leaseFolder, root, 0755, me, trusted},     // a system folder the user was let into
        {leaseFolder, other, 0700, me, ownedByOther},
        {leaseFolder, me, 0770, me, writableByOthers},
        {leaseFolder, me, 0757, me, writableByOthers},
        {leaseFolder, root, 01777, me, shared},     // /tmp: others may plant names there
        {leaseFolder, root, 01770, me, shared},
        {leaseFolder, other, 0755, root, ownedByOther},  // root in a user's folder
        {above, root, 01777, me, trusted},           // /tmp on the way: nobody renames our folder
        {above, root, 0777, me, writableByOthers},
        {above, me, 0775, me, writableByOthers},
        {above, other, 0755, me, ownedByOther},
        {above, root, 0755, me, trusted},
        {lockFile, me, 0600, me, trusted},
        {lockFile, other, 0600, me, ownedByOther},   // squatted
        {lockFile, root, 0600, me, ownedByOther},
        {lockFile, other, 0600, root, ownedByOther},
    };
    for (const auto& c : cases)
        EXPECT_EQ(folderTrust(c.role, c.owner, 040000 | c.mode, c.user), c.trust)
            << static_cast<int>(c.role) << " owner " << c.owner << " mode " << std::oct << c.mode << " user "
            << std::dec << c.user;
}

}  // namespace
}  // namespace anvil
