#include "core/host/host_setup.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include "core/host/process_runner.hpp"

namespace anvil {
namespace {

using Tool = HostSetup::SettingsTool;

TEST(HostSetupTest, shellQuoteMakesOneWord) {
    EXPECT_EQ(HostSetup::shellQuote("Bob's LAN"), "'Bob'\\''s LAN'");
    EXPECT_EQ(HostSetup::shellQuote(""), "''");
    EXPECT_EQ(HostSetup::shellQuote("a \"b\" \\c $d"), "'a \"b\" \\c $d'");
}

TEST(HostSetupTest, quotedNamesReachTheShellUnchanged) {
    for (std::string name : {"Bob's LAN", "a \"quoted\" \\ name", "$(touch /tmp/x) `id`", "", "''"}) {
        auto output = ProcessRunner::run("/bin/sh", {"-c", "printf %s " + HostSetup::shellQuote(name)});
        EXPECT_EQ(output, (ProcessRunner::Output{0, name}));
    }
}

TEST(HostSetupTest, macOSCommands) {
    auto ip = IPv4Address(192, 168, 0, 1), mask = IPv4Address(255, 255, 255, 0);
    EXPECT_EQ(HostSetup::setManualCommand(Tool::networksetup, "USB LAN", ip, mask),
              "/usr/sbin/networksetup -setmanual 'USB LAN' 192.168.0.1 255.255.255.0");
    EXPECT_EQ(HostSetup::setDHCPCommand(Tool::networksetup, "My Service"),
              "/usr/sbin/networksetup -setdhcp 'My Service'");
    EXPECT_EQ(HostSetup::sudoLine("ls"), "sudo ls");
}

TEST(HostSetupTest, linuxCommands) {
    auto ip = IPv4Address(192, 168, 0, 1), mask = IPv4Address(255, 255, 255, 0);
    EXPECT_EQ(HostSetup::setManualCommand(Tool::networkManager, "Bob's LAN", ip, mask),
              "nmcli connection modify 'Bob'\\''s LAN' ipv4.method manual ipv4.addresses 192.168.0.1/24 && "
              "nmcli connection up 'Bob'\\''s LAN'");
    EXPECT_EQ(HostSetup::setDHCPCommand(Tool::networkManager, "Wired"),
              "nmcli connection modify 'Wired' ipv4.method auto ipv4.addresses \"\" && nmcli connection up 'Wired'");
    EXPECT_EQ(HostSetup::setManualCommand(Tool::ipRoute, "enp3s0", ip, mask),
              "ip address replace 192.168.0.1/24 dev 'enp3s0' && ip link set 'enp3s0' up");
    EXPECT_EQ(HostSetup::setDHCPCommand(Tool::ipRoute, "enp3s0"), "ip address flush dev 'enp3s0'");
}

TEST(HostSetupTest, appleScriptEscapingAndErrors) {
    EXPECT_EQ(HostSetup::appleScriptEscaped("say \"a\\b\""), "say \\\"a\\\\b\\\"");
    EXPECT_EQ(HostSetup::administratorScript("ls \"x\""),
              "do shell script \"ls \\\"x\\\"\" with administrator privileges");
    EXPECT_EQ(HostSetup::administratorError(std::nullopt, -128), HostSetupError("The command failed.", true));
    EXPECT_EQ(HostSetup::administratorError(std::string("Bad password"), 1), HostSetupError("Bad password", false));
    EXPECT_EQ(HostSetup::administratorError(std::string("x"), std::nullopt), HostSetupError("x", false));
}

TEST(HostSetupTest, linuxAdministratorOutcomes) {
    using Output = ProcessRunner::Output;
    EXPECT_EQ(HostSetup::administratorError(Output{0, "done"}, true), std::nullopt);
    EXPECT_EQ(HostSetup::administratorError(Output{126, ""}, true), HostSetupError("The command failed.", true));
    EXPECT_EQ(HostSetup::administratorError(Output{126, "not executable\n"}, false),
              HostSetupError("not executable", false));
    for (bool throughPkexec : {true, false})
        EXPECT_EQ(HostSetup::administratorError(Output{-1, "No such file or directory"}, throughPkexec),
                  HostSetupError("Could not prepare the administrator dialog.", false));
}

TEST(HostSetupTest, validatedServiceIsExact) {
    EXPECT_EQ(HostSetup::validatedService("USB LAN", {"Wi-Fi", "USB LAN"}), "USB LAN");
    for (auto names : {std::vector<std::string>{}, std::vector<std::string>{"usb lan"}}) {
        try {
            HostSetup::validatedService("USB LAN", names);
            FAIL() << "accepted";
        } catch (const HostSetupError& error) {
            EXPECT_EQ(error, HostSetupError("Unknown network service: USB LAN", false));
        }
    }
}

TEST(HostSetupTest, runAsAdministratorRunsDirectlyAsRootAndReportsFailure) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root: without it pkexec would prompt";
    EXPECT_NO_THROW(HostSetup::runAsAdministrator("true"));
    try {
        HostSetup::runAsAdministrator("echo 'it broke' >&2; exit 3");
        FAIL() << "no error";
    } catch (const HostSetupError& error) {
        EXPECT_EQ(error, HostSetupError("it broke", false));
    }
}

TEST(ProcessRunnerTest, collectsBothStreamsAndStatus) {
    EXPECT_EQ(ProcessRunner::run("/bin/sh", {"-c", "echo out; echo err >&2; exit 4"}),
              (ProcessRunner::Output{4, "out\nerr\n"}));
    EXPECT_EQ(ProcessRunner::run("/bin/sh", {"-c", "echo only-error >&2"}), (ProcessRunner::Output{0, "only-error\n"}));
    auto missing = ProcessRunner::run("/nonexistent/tool", {});
    EXPECT_EQ(missing.status, -1);
    EXPECT_FALSE(missing.text.empty());
    auto reading = ProcessRunner::run("/bin/cat", {});  // no input: ends at once
    EXPECT_EQ(reading, (ProcessRunner::Output{0, ""}));
}

TEST(ProcessRunnerTest, repairsInvalidUTF8) {
    EXPECT_EQ(ProcessRunner::repairedUTF8("a\xC3\xA9z"), "a\xC3\xA9z");
    EXPECT_EQ(ProcessRunner::repairedUTF8("a\xFFz"), "a\xEF\xBF\xBDz");
    EXPECT_EQ(ProcessRunner::repairedUTF8("\xC3"), "\xEF\xBF\xBD");
    EXPECT_EQ(ProcessRunner::repairedUTF8("\xC0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD");  // overlong
    EXPECT_EQ(ProcessRunner::repairedUTF8("\xE2\x97\x8F"), "\xE2\x97\x8F");
}

}  // namespace
}  // namespace anvil
