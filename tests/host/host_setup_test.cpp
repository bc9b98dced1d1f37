#include "core/host/host_setup.hpp"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>

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
    EXPECT_EQ(HostSetup::sudoLine("ls", Platform::macOS), "sudo ls");
}

TEST(HostSetupTest, linuxCommands) {
    auto ip = IPv4Address(192, 168, 0, 1), mask = IPv4Address(255, 255, 255, 0);
    // Profiles are named with "id" (a profile may be called "id"), or addressed by UUID.
    EXPECT_EQ(HostSetup::setManualCommand(Tool::networkManager, "Bob's LAN", ip, mask),
              "nmcli connection modify id 'Bob'\\''s LAN' ipv4.method manual ipv4.addresses 192.168.0.1/24 && "
              "nmcli connection up id 'Bob'\\''s LAN'");
    EXPECT_EQ(
        HostSetup::setDHCPCommand(Tool::networkManager, "2f0d44f3-5d5b-4c4e-9f6c-2b1f1f0e0a11"),
        "nmcli connection modify uuid '2f0d44f3-5d5b-4c4e-9f6c-2b1f1f0e0a11' ipv4.method auto ipv4.addresses \"\" "
        "&& nmcli connection up uuid '2f0d44f3-5d5b-4c4e-9f6c-2b1f1f0e0a11'");
    EXPECT_EQ(HostSetup::setManualCommand(Tool::ipRoute, "enp3s0", ip, mask),
              "ip -4 address flush dev 'enp3s0' && ip address add 192.168.0.1/24 dev 'enp3s0' && ip link set "
              "'enp3s0' up");
    EXPECT_EQ(HostSetup::setDHCPCommand(Tool::ipRoute, "enp3s0"), "ip address flush dev 'enp3s0'");
    // The whole line runs as root, every step after "&&" included.
    EXPECT_EQ(HostSetup::sudoLine("a && b 'c'", Platform::gnuLinux), "sudo sh -c 'a && b '\\''c'\\'''");

    NetworkCard card;
    card.bsdName = "en1";
    card.serviceName = "Wired connection 1";
    EXPECT_EQ(HostSetup::settingsTool(card, Platform::gnuLinux), Tool::ipRoute);
    EXPECT_EQ(HostSetup::settingsTool(card, Platform::macOS), Tool::networksetup);
    card.serviceID = "2f0d44f3-5d5b-4c4e-9f6c-2b1f1f0e0a11";
    EXPECT_EQ(HostSetup::settingsTool(card, Platform::gnuLinux), Tool::networkManager);
}

TEST(HostSetupTest, networkSettingsToolOfTheDesktop) {
    using Command = std::optional<std::vector<std::string>>;
    struct Case {
        std::string desktop;
        std::vector<std::string> installed;
        Command expected;
    } cases[] = {
        {"ubuntu:GNOME",
         {"gnome-control-center", "nm-connection-editor"},
         Command{{"/usr/bin/gnome-control-center", "network"}}},
        {"KDE", {"systemsettings"}, Command{{"/usr/bin/systemsettings", "kcm_networkmanagement"}}},
        {"GNOME", {"nm-connection-editor"}, Command{{"/usr/bin/nm-connection-editor"}}},
        {"XFCE", {"gnome-control-center", "nm-connection-editor"}, Command{{"/usr/bin/nm-connection-editor"}}},
        {"", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        auto find = [&c](std::string_view program) -> std::optional<std::string> {
            for (const auto& name : c.installed)
                if (name == program) return "/usr/bin/" + name;
            return std::nullopt;
        };
        EXPECT_EQ(HostSetup::networkSettingsCommand(c.desktop, find), c.expected) << c.desktop;
    }
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

NetworkCard benchCard(std::optional<std::string> profileUUID) {
    NetworkCard card;
    card.bsdName = "enx1";
    card.displayName = "USB Ethernet";
    card.kind = NetworkCard::Kind::ethernet;
    card.serviceName = "Wired connection 1";
    card.serviceID = std::move(profileUUID);
    return card;
}

TEST(HostSetupTest, theInternetConnectionIsNeverSetUp) {
    struct Case {
        bool isPrimary, carriesDefaultRoute;
        BenchCardRule::Stacking stacking;
        Platform platform;
        std::optional<std::string> refusal;
    };
    const Case cases[] = {
        {false, false, {}, Platform::gnuLinux, std::nullopt},
        {true, false, {}, Platform::gnuLinux,
         "enx1 is this computer's main internet connection: DHCP Anvil leaves its settings alone. Choose the bench "
         "adapter instead."},
        {true, true, {}, Platform::gnuLinux,
         "enx1 is this computer's main internet connection: DHCP Anvil leaves its settings alone. Choose the bench "
         "adapter instead."},
        {false, true, {}, Platform::gnuLinux,
         "enx1 carries a default route, the way from this computer to other networks: DHCP Anvil leaves its settings "
         "alone. Choose the bench adapter instead."},
        {true, false, {}, Platform::macOS,
         "enx1 is the Mac's main internet connection: DHCP Anvil leaves its settings alone. Choose the bench adapter "
         "instead."},
        // A port of the uplink's bridge is the uplink too.
        {false, false, {BenchCardRule::Link{"br0", "bridge"}, {}, {}, ""}, Platform::gnuLinux,
         "card enx1 is a port of the bridge br0: what it carries is br0's traffic, so it is not a bench card. DHCP "
         "Anvil leaves its settings alone. Choose the bench adapter instead."},
    };
    for (const auto& c : cases) {
        auto card = benchCard(std::nullopt);
        card.isPrimary = c.isPrimary;
        card.stacking = c.stacking;
        EXPECT_EQ(HostSetup::refusal(card, c.carriesDefaultRoute, c.platform), c.refusal);
        EXPECT_EQ(HostSetup::mayConfigure(card), !c.isPrimary && !c.stacking.master);
    }
}

// What nmcli 1.42 prints when NetworkManager refuses the user (auth-polkit=root-only), and other failures.
TEST(HostSetupTest, notAuthorisedIsToldFromOtherNmcliFailures) {
    using Output = ProcessRunner::Output;
    struct Case {
        Output output;
        bool notAuthorised;
    };
    const Case cases[] = {
        {{1, "Error: Failed to modify connection 'Wired connection 1': Insufficient privileges\n"}, true},
        {{4, "Error: Connection activation failed: Not authorized to control networking.\n"}, true},
        {{0, "Connection successfully activated (D-Bus active path: /org/freedesktop/NetworkManager/"
             "ActiveConnection/2)\n"},
         false},
        {{10, "Error: unknown connection '2f0d44f3-5d5b-4c4e-9f6c-2b1f1f0e0a11'.\n"}, false},
        {{4, "Error: Connection activation failed: IP configuration could not be reserved (no available address, "
             "timeout, etc.)\nHint: use 'journalctl -xe NM_CONNECTION=a9328a96-f334-30e7-9ae2-600cd8a3d79f + "
             "NM_DEVICE=ennm22881' to get more details.\n"},
         false},
        {{8, "Error: NetworkManager is not running.\n"}, false},
        {{-1, "Not authorized", true}, false},
    };
    for (const auto& c : cases) EXPECT_EQ(HostSetup::isNotAuthorised(c.output), c.notAuthorised) << c.output.text;
}

// The runs a setup command makes, with each run's answer scripted.
struct ScriptedRunner {
    std::vector<ProcessRunner::Output> answers;
    std::vector<std::string> runs;

    HostSetup::CommandRunner runner(bool isAdministrator) {
        return {[this](const std::string& path, const std::vector<std::string>& arguments, std::chrono::milliseconds) {
                    std::string run = path;
                    for (const auto& argument : arguments) run += " " + argument;
                    runs.push_back(run);
                    if (answers.empty()) return ProcessRunner::Output{0, ""};
                    auto answer = answers.front();
                    answers.erase(answers.begin());
                    return answer;
                },
                isAdministrator, [](std::string_view) { return false; }};
    }
};

TEST(HostSetupTest, setupRunsWithTheLeastRightsThatWork) {
    using Output = ProcessRunner::Output;
    const std::string uuid = "2f0d44f3-5d5b-4c4e-9f6c-2b1f1f0e0a11";
    const std::string command = "nmcli connection up uuid x";
    const Output refused{4, "Error: Connection activation failed: Not authorized to control networking.\n"};
    const std::string asUser = "/usr/bin/env LC_ALL=C /bin/sh -c " + command;
    const std::string prompted = "/usr/bin/pkexec /bin/sh -c " + command;
    const std::string asRoot = "/bin/sh -c " + command;
    struct Case {
        const char* name;
        bool networkManager, isAdministrator;
        std::vector<Output> answers;
        std::vector<std::string> runs;
        std::optional<HostSetupError> error;
    };
    const Case cases[] = {
        {"user allowed by NetworkManager", true, false, {{0, "done"}}, {asUser}, std::nullopt},
        {"user not authorised: the prompt", true, false, {refused, {0, ""}}, {asUser, prompted},
         std::nullopt},
        {"prompt dismissed", true, false, {refused, {126, ""}}, {asUser, prompted},
         HostSetupError("The command failed.", true)},
        {"another nmcli failure is the user's answer", true, false,
         {{10, "Error: unknown connection 'x'.\n"}}, {asUser}, HostSetupError("Error: unknown connection 'x'.", false)},
        {"root runs it as it is", true, true, {}, {asRoot}, std::nullopt},
        {"without NetworkManager only the administrator can", false, false, {}, {prompted},
         std::nullopt},
    };
    for (const auto& c : cases) {
        auto card = benchCard(c.networkManager ? std::optional(uuid) : std::nullopt);
        ScriptedRunner scripted{c.answers, {}};
        std::optional<HostSetupError> error;
        try {
            HostSetup::runSetupCommand(card, command, scripted.runner(c.isAdministrator));
        } catch (const HostSetupError& thrown) {
            error = thrown;
        }
        EXPECT_EQ(scripted.runs, c.runs) << c.name;
        EXPECT_EQ(error, c.error) << c.name;
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

TEST(ProcessRunnerTest, childStartsWithCleanSignalsAndIsStoppedAtItsTimeLimit) {
    // A caller that blocks and ignores signals (serve blocks SIGINT) must not hand that on.
    sigset_t interrupt, previous;
    sigemptyset(&interrupt);
    sigaddset(&interrupt, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt, &previous);
    auto oldPipe = signal(SIGPIPE, SIG_IGN);
    auto status = ProcessRunner::run("/bin/sh", {"-c", "grep -E '^Sig(Blk|Ign)' /proc/self/status"});
    signal(SIGPIPE, oldPipe);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_EQ(status.status, 0) << status.text;
    // Signals 1 to 31; glibc keeps its own internal ones (32, 33) ignored across posix_spawn.
    for (const char* key : {"SigBlk:\t", "SigIgn:\t"}) {
        auto at = status.text.find(key);
        ASSERT_NE(at, std::string::npos) << status.text;
        auto bits = std::stoull(status.text.substr(at + 8, 16), nullptr, 16);
        EXPECT_EQ(bits & 0x7fffffffull, 0u) << status.text;
    }

    auto started = std::chrono::steady_clock::now();
    // The grandchild keeps the output pipe open: the limit must hold all the same.
    auto stuck = ProcessRunner::run("/bin/sh", {"-c", "sleep 30 & sleep 30"}, std::chrono::milliseconds(300));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    EXPECT_EQ(stuck.status, -1);
    EXPECT_TRUE(stuck.timedOut);
    EXPECT_EQ(stuck.text, "sh did not finish within 1 second and was stopped.");
    EXPECT_EQ(HostSetup::administratorError(stuck, true),
              HostSetupError("sh did not finish within 1 second and was stopped.", false));
    EXPECT_EQ(ProcessRunner::timedOutOutput("/usr/bin/env", {"LC_ALL=C", "/usr/bin/nmcli", "device"},
                                            ProcessRunner::defaultTimeLimit)
                  .text,
              "nmcli did not finish within 5 seconds and was stopped.");
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
