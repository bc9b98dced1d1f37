// Who could redirect or block the lease files, from a folder's (or the lock's) owner and mode.
#include "core/leases/folder_trust.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

TEST(FolderTrust, RefusesWhatAnotherUserCouldChange) {
    using enum FolderRole;
    using enum FolderTrust;
    constexpr std::uint32_t me = 1000, other = 1001, root = 0;
    struct Case {
        FolderRole role;
        std::uint32_t owner, mode, user;
        FolderTrust trust;
    } cases[] = {
        {leaseFolder, me, 0755, me, trusted},
        {leaseFolder, root, 0755, me, trusted},
        {leaseFolder, other, 0700, me, ownedByOther},
        {leaseFolder, other, 0755, root, ownedByOther},
        {leaseFolder, me, 0770, me, writableByOthers},
        {leaseFolder, me, 0757, me, writableByOthers},
        {leaseFolder, root, 01777, me, shared},
        {above, root, 01777, me, trusted},
        {above, root, 0777, me, writableByOthers},
        {above, other, 0755, me, ownedByOther},
        {lockFile, me, 0600, me, trusted},
        {lockFile, other, 0600, me, ownedByOther},
        {lockFile, root, 0600, me, ownedByOther},
    };
    for (const auto& c : cases)
        EXPECT_EQ(folderTrust(c.role, c.owner, 040000 | c.mode, c.user), c.trust)
            << int(c.role) << " owner " << c.owner << " mode " << std::oct << c.mode << std::dec << " user " << c.user;
}

}  // namespace
}  // namespace anvil
