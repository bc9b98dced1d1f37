// dhcpanvil on a card that a real NetworkManager manages, as on a Debian, Ubuntu or Fedora laptop:
// NetworkManager runs in a network namespace and a private mount namespace of its own (its own
// /run, D-Bus system bus and profile store), and the tool runs inside both with nsenter.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>

#include "core/addressing/text_pieces.hpp"
#include "core/host/host_setup.hpp"
#include "core/host/linux/default_routes.hpp"
#include "tests/e2e/field_bench.hpp"

namespace anvil::field {
namespace {

// `authPolkit`: "false" lets every user change profiles (as a user with the polkit rights),
// "root-only" lets no one else.
std::string managerConfig(const std::string& authPolkit) {
    return R"([main]
plugins=keyfile
dhcp=internal
dns=none
rc-manager=unmanaged
hostname-mode=none
auth-polkit=)" + authPolkit +
           R"(
[logging]
level=INFO
[device]
match-device=*
managed=1
)";
}

// Inside `ip netns exec … unshare -m`: NetworkManager needs a read-only /sys (with a writable one it
// waits for udev and manages nothing) and its own /run and profile store, so nothing of the host's
// is read or written.
constexpr const char* managerScript = R"(set -e
mount -t tmpfs tmpfs /run
mkdir -p /run/dbus
umount -l /sys
mount -t sysfs -o ro sysfs /sys
mount -t tmpfs tmpfs /var/lib/NetworkManager
mount -t tmpfs tmpfs /etc/NetworkManager/system-connections
# No profiles shipped with the host, and no dispatcher scripts (ifupdown's would act for the host).
for folder in /usr/lib/NetworkManager/system-connections /etc/NetworkManager/dispatcher.d \
    /usr/lib/NetworkManager/dispatcher.d; do
  if [ -d "$folder" ]; then mount -t tmpfs tmpfs "$folder"; fi
done
dbus-daemon --system --nofork --nopidfile &
i=0
while [ ! -S /run/dbus/system_bus_socket ] && [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done
exec NetworkManager --debug --config="$1/nm.conf" --config-dir="$1/conf.d" --system-config-dir="$1/conf.d" \
  --pid-file=/run/nm.pid --state-file=/run/nm.state
)";

// Every process left in a network namespace, such as D-Bus-started helpers in a session of their own.
void killEverythingIn(const std::string& ns) {
    struct stat target {};
    if (::stat(("/run/netns/" + ns).c_str(), &target) != 0) return;
    for (int round = 0; round < 20; ++round) {
        bool found = false;
        if (DIR* processes = ::opendir("/proc")) {
            while (auto* entry = ::readdir(processes)) {
                std::string pid = entry->d_name;
                if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
                struct stat net {};
                if (::stat(("/proc/" + pid + "/ns/net").c_str(), &net) != 0) continue;
                if (net.st_dev != target.st_dev || net.st_ino != target.st_ino) continue;
                ::kill(std::stoi(pid), SIGKILL);
                found = true;
            }
            ::closedir(processes);
        }
        if (!found) return;
        std::this_thread::sleep_for(100ms);
    }
}

// Waits (bounded) until `done` holds, polling.
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(200ms);
    }
    return true;
}

struct SetupAsUser;

class NetworkManagerTest : public ::testing::Test {
    friend SetupAsUser;

protected:
    std::string tag = std::to_string(::getpid() % 100000);
    std::string hostNS = "anvil-nm-" + tag;
    std::string clientNS = "anvil-nmc-" + tag;
    std::string card = "ennm" + tag;
    std::string cardMAC = "02:88:00:00:00:01";
    TempFolder temp;
    std::unique_ptr<Child> manager;
    std::unique_ptr<Child> server;
    std::vector<std::unique_ptr<Child>> clients;
    bool namespacesMade = false;
    std::string authPolkit = "false";

    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "NetworkManager tests need root to create namespaces";
        for (const char* program : {"/usr/sbin/NetworkManager", "/usr/bin/nmcli", "/usr/bin/dbus-daemon",
                                    "/usr/bin/nsenter", "/usr/bin/unshare", "/bin/busybox", "/usr/sbin/dnsmasq"})
            if (::access(program, X_OK) != 0)
                GTEST_SKIP() << program << " is missing; run scripts/install-deps.sh as root";
        namespacesMade = true;
        for (std::vector<std::string> step : {
                 std::vector<std::string>{"netns", "add", hostNS},
                 std::vector<std::string>{"netns", "add", clientNS},
                 std::vector<std::string>{"link", "add", card, "netns", hostNS, "address", cardMAC, "type", "veth",
                                          "peer", "name", "cli0", "netns", clientNS, "address", "02:88:00:00:00:02"},
                 std::vector<std::string>{"-n", hostNS, "link", "set", "lo", "up"},
                 std::vector<std::string>{"-n", clientNS, "link", "set", "lo", "up"},
                 std::vector<std::string>{"-n", clientNS, "link", "set", "cli0", "up"},
             }) {
            auto output = ip(step);
            ASSERT_EQ(output.status, 0) << "ip " << step[0] << " " << step[1] << ": " << output.text;
        }
        std::filesystem::create_directories(temp / "conf.d");
        writeFile(temp / "nm.conf", managerConfig(authPolkit));
        writeFile(temp / "nm.sh", managerScript);
        writeFile(temp / "udhcpc.sh", udhcpcAddressScript, true);
        manager = std::make_unique<Child>(std::vector<std::string>{ipTool, "netns", "exec", hostNS, "/usr/bin/unshare",
                                                                   "-m", "--propagation", "private"},
                                          std::vector<std::string>{"/bin/sh", temp / "nm.sh", temp.path.string()},
                                          std::vector<std::string>{});
        bool running = eventually([&] { return nmcli({"-t", "-f", "RUNNING", "general"}).text == "running\n"; }, 30s);
        ASSERT_TRUE(running) << manager->output();
        // NetworkManager makes its automatic profile for the new card and starts DHCP on it.
        ASSERT_TRUE(eventually([&] { return !profileUUID("Wired connection 1").empty(); }, 30s))
            << nmcli({"device"}).text << manager->output();
    }

    void TearDown() override {
        if (HasFailure() && manager) std::printf("NetworkManager output:\n%s", manager->output().c_str());
        if (HasFailure() && server) std::printf("server output:\n%s", server->output().c_str());
        clients.clear();
        server.reset();
        if (namespacesMade) {
            killEverythingIn(hostNS);
            killEverythingIn(clientNS);
        }
        manager.reset();
        if (!namespacesMade) return;
        ip({"netns", "delete", hostNS});
        ip({"netns", "delete", clientNS});
    }

    std::vector<std::string> enter() const {
        return {"/usr/bin/nsenter", "-t", std::to_string(manager->pid()), "-m", "-n", "--"};
    }

    // A command inside NetworkManager's namespaces.
    ProcessRunner::Output inside(const std::vector<std::string>& command, std::chrono::milliseconds limit = 30s) {
        auto arguments = enter();
        arguments.erase(arguments.begin());
        arguments.insert(arguments.end(), command.begin(), command.end());
        return ProcessRunner::run("/usr/bin/nsenter", arguments, limit);
    }

    ProcessRunner::Output nmcli(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"/usr/bin/env", "LC_ALL=C", "/usr/bin/nmcli"});
        return inside(arguments);
    }

    ProcessRunner::Output dhcpanvil(std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(),
                         {"/usr/bin/env", "HOME=" + temp.path.string(), "XDG_STATE_HOME=" + (temp / "state"),
                          "XDG_DATA_HOME=" + (temp / "data"), ANVIL_DHCPANVIL_PATH});
        return inside(arguments);
    }

    std::vector<std::string> serveArguments() {
        return {
            "serve",   "--iface", card,       "--server",          "10.88.0.1/24", "--range", "10.88.0.100-10.88.0.120",
            "--lease", "1h",      "--leases", temp / "leases.json"};
    }

    // The checks and the fix line of a serve that is refused.
    std::string refusedServe() {
        auto output = dhcpanvil(serveArguments());
        EXPECT_EQ(output.status, 1) << output.text;
        return output.text;
    }

    // The line the tool prints to run as root, run here as the terminal would (the test is root).
    ProcessRunner::Output runFixLine(const std::string& printed) {
        constexpr std::string_view marker = "Run this, then start dhcpanvil again:\n  sudo ";
        auto at = printed.find(marker);
        if (at == std::string::npos) return {-1, "no fix line in:\n" + printed};
        auto line = printed.substr(at + marker.size());
        line = line.substr(0, line.find('\n'));
        return inside({"/bin/sh", "-c", line}, 60s);
    }

    void startServer() {
        auto arguments = serveArguments();
        arguments.insert(arguments.begin(), ANVIL_DHCPANVIL_PATH);
        server = std::make_unique<Child>(
            enter(), arguments,
            std::vector<std::string>{"HOME=" + temp.path.string(), "XDG_STATE_HOME=" + (temp / "state"),
                                     "XDG_DATA_HOME=" + (temp / "data")});
        ASSERT_GE(server->waitForLine("START", 30s), 0) << server->output();
    }

    Child& udhcpc() {
        clients.push_back(std::make_unique<Child>(
            clientNS, std::vector<std::string>{"/bin/busybox", "udhcpc", "-f", "-i", "cli0", "-s", temp / "udhcpc.sh",
                                               "-t", "30", "-T", "1", "-A", "1", "-n"}));
        return *clients.back();
    }

    std::string profileUUID(const std::string& name) {
        auto output = nmcli({"-t", "-f", "NAME,UUID", "connection", "show"});
        for (const auto& line : splitText(output.text, '\n', EmptyPieces::drop)) {
            auto colon = line.rfind(':');
            if (colon != std::string_view::npos && line.substr(0, colon) == name)
                return std::string(line.substr(colon + 1));
        }
        return "";
    }

    std::string setting(const std::string& uuid, const std::string& key) {
        auto text = nmcli({"-g", key, "connection", "show", "uuid", uuid}).text;
        if (!text.empty() && text.back() == '\n') text.pop_back();
        return text;
    }

    std::string deviceState() {
        auto text = nmcli({"-t", "-f", "DEVICE,STATE", "device"}).text;
        for (const auto& line : splitText(text, '\n', EmptyPieces::drop))
            if (line.substr(0, card.size() + 1) == card + ":") return std::string(line.substr(card.size() + 1));
        return "";
    }

    // Whether an address of the card begins with `text` ("10.88.0.1/24", or "10.99.0.5" for any of ten).
    bool cardHolds(const std::string& text) {
        return inside({"/usr/sbin/ip", "-4", "address", "show", "dev", card}).text.find(" inet " + text) !=
               std::string::npos;
    }

    std::string listLine() {
        auto text = dhcpanvil({"list"}).text;
        for (const auto& line : splitText(text, '\n', EmptyPieces::drop))
            if (line.substr(0, card.size() + 2) == card + "  ") return std::string(line);
        return "";
    }

    void setCable(bool in) { ip({"-n", clientNS, "link", "set", "cli0", in ? "up" : "down"}); }
};

// The journey of a technician on a NetworkManager laptop: refused on DHCP, fixed with the printed
// line, serving, the cable out and back, and set back to DHCP.
TEST_F(NetworkManagerTest, fixServeCableOutAndBackThenBackToDHCP) {
    auto uuid = profileUUID("Wired connection 1");
    EXPECT_NE(listLine().find("  service: Wired connection 1  " + cardMAC), std::string::npos) << listLine();

    auto refused = refusedServe();
    EXPECT_NE(refused.find("\u2717 Card isn't set to 10.88.0.1/24"), std::string::npos) << refused;
    EXPECT_NE(refused.find("sudo sh -c 'nmcli connection modify uuid '\\''" + uuid +
                           "'\\'' ipv4.method manual ipv4.addresses 10.88.0.1/24 && nmcli connection up uuid "),
              std::string::npos)
        << refused;
    auto fixed = runFixLine(refused);
    ASSERT_EQ(fixed.status, 0) << fixed.text;
    ASSERT_TRUE(eventually([&] { return cardHolds("10.88.0.1/24"); }, 30s));

    startServer();
    auto& first = udhcpc();
    EXPECT_GE(first.waitForLine("udhcpc-event bound 10.88.0.", 30s), 0) << first.output();
    first.stop();
    server->stop();

    // Cable out: NetworkManager takes the profile down, yet it stays the card's service, and Start
    // is allowed with the link warning.
    setCable(false);
    ASSERT_TRUE(eventually([&] { return deviceState() == "unavailable"; }, 30s)) << deviceState();
    EXPECT_NE(listLine().find("  service: Wired connection 1  "), std::string::npos) << listLine();
    startServer();
    EXPECT_NE(server->output().find("\u26a0 No link: the server will start and wait for a device"), std::string::npos)
        << server->output();
    EXPECT_NE(server->output().find("\u2713 Wired connection 1 is set to 10.88.0.1/24"), std::string::npos)
        << server->output();

    // Cable back: NetworkManager puts the address back and serving resumes.
    setCable(true);
    ASSERT_TRUE(eventually([&] { return cardHolds("10.88.0.1/24"); }, 30s));
    auto& second = udhcpc();
    EXPECT_GE(second.waitForLine("udhcpc-event bound 10.88.0.", 40s), 0) << second.output();
    second.stop();
    server->stop();

    // Back to DHCP, on a cable whose network has its own server: the card takes its address and the
    // checks name it.
    ASSERT_EQ(ip({"-n", clientNS, "address", "add", "10.99.0.1/24", "dev", "cli0"}).status, 0);
    clients.push_back(std::make_unique<Child>(
        clientNS, std::vector<std::string>{
                      "/usr/sbin/dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--port=0", "-u", "root",
                      "--interface=cli0", "--bind-interfaces", "--dhcp-range=10.99.0.50,10.99.0.59,2m",
                      "--dhcp-leasefile=" + (temp / "dnsmasq.leases"), "--pid-file=" + (temp / "dnsmasq.pid")}));
    auto back =
        inside({"/bin/sh", "-c", HostSetup::setDHCPCommand(HostSetup::SettingsTool::networkManager, uuid)}, 90s);
    EXPECT_EQ(back.status, 0) << back.text;
    EXPECT_EQ(setting(uuid, "ipv4.method"), "auto");
    ASSERT_TRUE(eventually([&] { return cardHolds("10.99.0.5"); }, 30s));
    EXPECT_NE(refusedServe().find("\u2717 This card is on a network that already has a DHCP server (it got 10.99.0.5"),
              std::string::npos);
}

// Profiles named like nmcli's keywords, or two with one name, are told apart by UUID; a card that
// NetworkManager leaves unmanaged is its own service, set with ip.
TEST_F(NetworkManagerTest, profilesAreAddressedExactlyAndUnmanagedCardsFallBack) {
    ASSERT_EQ(nmcli({"connection", "delete", "uuid", profileUUID("Wired connection 1")}).status, 0);
    auto add = [&](const std::vector<std::string>& tie) {
        std::vector<std::string> arguments{"-t", "connection", "add", "type", "ethernet", "con-name", "id"};
        arguments.insert(arguments.end(), tie.begin(), tie.end());
        return nmcli(arguments);
    };
    // The first is for another card; the second is this card's and comes up on it.
    ASSERT_EQ(add({"ethernet.mac-address", "02:88:00:00:00:99", "connection.autoconnect-priority", "5"}).status, 0);
    ASSERT_EQ(add({"ifname", card}).status, 0);
    std::string mine, other;
    auto profiles = nmcli({"-t", "-f", "UUID,NAME", "connection", "show"}).text;
    for (const auto& line : splitText(profiles, '\n', EmptyPieces::drop)) {
        auto uuid = std::string(line.substr(0, line.find(':')));
        if (line.substr(line.find(':') + 1) != "id") continue;
        (setting(uuid, "connection.interface-name") == card ? mine : other) = uuid;
    }
    ASSERT_FALSE(mine.empty());
    ASSERT_FALSE(other.empty());

    auto refused = refusedServe();
    EXPECT_NE(refused.find("nmcli connection modify uuid '\\''" + mine + "'\\''"), std::string::npos) << refused;
    auto fixed = runFixLine(refused);
    ASSERT_EQ(fixed.status, 0) << fixed.text;
    EXPECT_EQ(setting(mine, "ipv4.method"), "manual");
    EXPECT_EQ(setting(other, "ipv4.method"), "auto");
    EXPECT_NE(listLine().find("  service: id  "), std::string::npos) << listLine();

    ASSERT_EQ(nmcli({"device", "set", card, "managed", "no"}).status, 0);
    ASSERT_TRUE(eventually([&] { return deviceState() == "unmanaged"; }, 15s)) << deviceState();
    EXPECT_NE(listLine().find("  service: " + card + "  "), std::string::npos) << listLine();
    inside({"/usr/sbin/ip", "-4", "address", "flush", "dev", card});
    auto unmanaged = refusedServe();
    EXPECT_NE(unmanaged.find("sudo sh -c 'ip -4 address flush dev '\\''" + card), std::string::npos) << unmanaged;
}

// The core's setup run against this NetworkManager, as a user (uid 65534) rather than root; the
// administrator prompt is a seam that records its use and then runs the command as root, as
// pkexec does once the password is given.
struct SetupAsUser {
    NetworkManagerTest& test;
    std::vector<std::string> runs;
    std::vector<ProcessRunner::Output> userAnswers;

    HostSetup::CommandRunner runner() {
        return {[this](const std::string& path, const std::vector<std::string>& arguments,
                       std::chrono::milliseconds limit) {
                    std::vector<std::string> command{path};
                    command.insert(command.end(), arguments.begin(), arguments.end());
                    runs.push_back(path);
                    if (path == "/usr/bin/pkexec") return test.inside({command.begin() + 1, command.end()}, limit);
                    command.insert(command.begin(),
                                   {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
                    userAnswers.push_back(test.inside(command, limit));
                    return userAnswers.back();
                },
                false,
                [this](std::string_view card) {
                    return LinuxHost::carriesDefaultRoute(card, test.inside({"/bin/cat", "/proc/net/route"}).text,
                                                          test.inside({"/bin/cat", "/proc/net/ipv6_route"}).text);
                }};
    }
};

NetworkCard managedCard(const std::string& name, const std::string& uuid) {
    NetworkCard card;
    card.bsdName = name;
    card.displayName = name;
    card.kind = NetworkCard::Kind::ethernet;
    card.serviceName = "Wired connection 1";
    card.serviceID = uuid;
    return card;
}

// Where NetworkManager lets the user change profiles, nmcli runs with the user's rights and no
// administrator prompt appears.
TEST_F(NetworkManagerTest, aUserNetworkManagerTrustsSetsTheCardWithoutThePrompt) {
    auto bench = managedCard(card, profileUUID("Wired connection 1"));
    SetupAsUser setup{*this, {}, {}};
    EXPECT_NO_THROW(HostSetup::runSetupCommand(
        bench, HostSetup::setManualCommand(bench, IPv4Address(10, 88, 0, 1), IPv4Address(255, 255, 255, 0)),
        setup.runner()));
    EXPECT_EQ(setup.runs, std::vector<std::string>{"/usr/bin/env"});
    EXPECT_EQ(setting(*bench.serviceID, "ipv4.method"), "manual");
    EXPECT_TRUE(eventually([&] { return cardHolds("10.88.0.1/24"); }, 30s));
}

class NetworkManagerRootOnlyTest : public NetworkManagerTest {
protected:
    NetworkManagerRootOnlyTest() { authPolkit = "root-only"; }
};

// Where NetworkManager refuses the user, the refusal is recognised and the administrator prompt
// is the fallback; the user's attempt changed nothing.
TEST_F(NetworkManagerRootOnlyTest, aRefusedUserFallsBackToTheAdministratorPrompt) {
    auto bench = managedCard(card, profileUUID("Wired connection 1"));
    SetupAsUser setup{*this, {}, {}};
    EXPECT_NO_THROW(HostSetup::runSetupCommand(
        bench, HostSetup::setManualCommand(bench, IPv4Address(10, 88, 0, 1), IPv4Address(255, 255, 255, 0)),
        setup.runner()));
    EXPECT_EQ(setup.runs, (std::vector<std::string>{"/usr/bin/env", "/usr/bin/pkexec"}));
    ASSERT_EQ(setup.userAnswers.size(), 1u);
    EXPECT_TRUE(HostSetup::isNotAuthorised(setup.userAnswers[0]))
        << setup.userAnswers[0].status << " " << setup.userAnswers[0].text;
    EXPECT_EQ(setting(*bench.serviceID, "ipv4.method"), "manual");
    EXPECT_TRUE(eventually([&] { return cardHolds("10.88.0.1/24"); }, 30s));

    // Activating is refused to the user as well, in words of its own.
    auto activation = inside({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "/usr/bin/env",
                              "LC_ALL=C", "/usr/bin/nmcli", "connection", "up", "uuid", *bench.serviceID});
    EXPECT_TRUE(HostSetup::isNotAuthorised(activation)) << activation.status << " " << activation.text;
}

}  // namespace
}  // namespace anvil::field
