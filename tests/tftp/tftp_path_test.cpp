#include <gtest/gtest.h>

#include <string>
#include <variant>
#include <vector>

#include "core/tftp/tftp_path.hpp"

namespace anvil {
namespace {

using Reason = TFTPPathRefusal::Reason;

TEST(TFTPPath, keepsTheClientInsideTheBootFolder) {
    struct Case {
        std::string requested;
        std::variant<std::string, TFTPPathRefusal> expected;
    };
    const std::vector<Case> cases{
        {"pxelinux.0", std::string("pxelinux.0")},
        {"/pxelinux.0", std::string("pxelinux.0")},
        {"///boot//grub/./x64.efi", std::string("boot/grub/x64.efi")},
        {"\\EFI\\BOOT\\bootx64.efi", std::string("EFI/BOOT/bootx64.efi")},
        {"dir/", std::string("dir")},
        {"...", std::string("...")},
        {"a/..b/c..", std::string("a/..b/c..")},
        {"caf\xC3\xA9", std::string("caf\xC3\xA9")},
        {"", TFTPPathRefusal{Reason::empty}},
        {"/", TFTPPathRefusal{Reason::empty}},
        {"././/.", TFTPPathRefusal{Reason::empty}},
        {"..", TFTPPathRefusal{Reason::leavesFolder}},
        {"../etc/passwd", TFTPPathRefusal{Reason::leavesFolder}},
        {"/boot/../../etc/shadow", TFTPPathRefusal{Reason::leavesFolder}},
        {"a/b/..", TFTPPathRefusal{Reason::leavesFolder}},
        {"a\\..\\b", TFTPPathRefusal{Reason::leavesFolder}},
        {"a/../a", TFTPPathRefusal{Reason::leavesFolder}},
        {std::string("a\0b", 3), TFTPPathRefusal{Reason::controlByte}},
        {"a\nb", TFTPPathRefusal{Reason::controlByte}},
        {"\x1b[2J", TFTPPathRefusal{Reason::controlByte}},
        {"a\x7f", TFTPPathRefusal{Reason::controlByte}},
        {std::string(255, 'a'), std::string(255, 'a')},
        {std::string(256, 'a'), TFTPPathRefusal{Reason::tooLong}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(normalizeTFTPPath(c.requested), c.expected) << c.requested;
    }
    EXPECT_EQ(TFTPPathRefusal{Reason::leavesFolder}.description(), "leaves the boot folder");
}

}  // namespace
}  // namespace anvil
