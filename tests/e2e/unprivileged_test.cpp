// The programs as an ordinary user runs them after an install: uid 65534, no capability of its
// own, port 67 opened by the installed dhcpanvil-helper, a real client on the cable.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <optional>
#include <random>

#include "core/host/bench_card_rule.hpp"
#include "core/tftp/tftp_texts.hpp"
#include "tests/e2e/boot_firmware.hpp"
#include "tests/e2e/field_bench.hpp"

namespace anvil::field {
namespace {

constexpr uid_t nobody = 65534;

constexpr const char* udhcpcScript = R"(#!/bin/sh
case "$1" in
  bound|renew) ip address replace "$ip/${mask:-24}" dev "$interface" ;;
esac
echo "udhcpc-event $1 $ip"
)";

std::string capabilities(const std::string& path) { return ProcessRunner::run("/usr/sbin/getcap", {path}).text; }

// What another local user (uid 65534, no group) in namespace `ns` gets back for a read request of
// `file` sent to `address`:69, from `source` or out of `card` when given: the reply's opcode, 0
// when none came, -1 when the request could not be sent.
int localUserAsks(const std::string& ns, const std::string& address, const std::string& source,
                  const std::string& card, const std::string& file) {
    auto path = "/var/run/netns/" + ns;
    auto request = boot::readRequest(file);
    sockaddr_in target{AF_INET, htons(69), {}, {}}, local{AF_INET, 0, {}, {}};
    ::inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    if (!source.empty()) ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    std::fflush(nullptr);
    auto pid = ::fork();
    if (pid == 0) {
        // Only system calls from here on: the test has other threads.
        int nsFD = ::open(path.c_str(), O_RDONLY | O_CLOEXEC), on = 1;
        if (nsFD < 0 || ::setns(nsFD, CLONE_NEWNET) != 0 || ::setgroups(0, nullptr) != 0 ||
            ::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(255);
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        // Allowed to any user since Linux 5.7.
        if (!card.empty() && ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, card.c_str(), card.size()) != 0)
            ::_exit(255);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target) <= 0)
            ::_exit(255);
        pollfd wanted{fd, POLLIN, 0};
        unsigned char reply[2] = {};
        ::_exit(::poll(&wanted, 1, 3000) == 1 && ::recv(fd, reply, sizeof reply, 0) == 2 ? reply[1] : 0);
    }
    int status = 0;
    if (pid < 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 255 ? -1 : WEXITSTATUS(status);
}

int linesWith(Child& process, const std::string& text) {
    int count = 0;
    std::istringstream lines(process.output());
    for (std::string line; std::getline(lines, line);) count += line.find(text) != std::string::npos ? 1 : 0;
    return count;
}

// `cmake --install` of this build into a prefix under /tmp that uid 65534 can read, done once.
struct Install {
    std::string prefix;
    std::string error;
    Install() {
        char pattern[] = "/tmp/anvil-install-XXXXXX";
        if (!::mkdtemp(pattern)) {
            error = "mkdtemp failed";
            return;
        }
        prefix = pattern;
        ::chmod(prefix.c_str(), 0755);
        // Installing copies and grants several programs: more than a short tool's time limit.
        auto output = ProcessRunner::run("/usr/bin/cmake", {"--install", ANVIL_BUILD_DIR, "--prefix", prefix},
                                         std::chrono::minutes(2));
        if (output.status != 0) error = output.text;
        // Files cmake made private to root still have to be readable by the user who runs them;
        // the helper alone stays as the install left it, for its group only.
        ProcessRunner::run("/usr/bin/chmod", {"-R", "a+rX", prefix}, std::chrono::seconds(30));
        ::chmod((prefix + "/libexec/dhcpanvil/dhcpanvil-helper").c_str(), 0750);
        if (auto* entry = ::getgrnam(std::string(BenchCardRule::group).c_str())) group = entry->gr_gid;
        if (error.empty() && !group) error = "the install made no group dhcpanvil";
    }
    std::optional<gid_t> group;
    ~Install() {
        std::error_code ignored;
        if (!prefix.empty()) std::filesystem::remove_all(prefix, ignored);
    }
    std::string operator/(const std::string& name) const { return prefix + "/" + name; }
};

// The server namespace with the card "enu<pid>" at 192.168.0.1/24 (the default server address)
// and the client namespace with its peer "cli0".
struct Cable {
    std::string tag = std::to_string(::getpid() % 100000);
    std::string serverNS = "anvil-usr-" + tag;
    std::string clientNS = "anvil-ucl-" + tag;
    std::string card = "enu" + tag;
    std::string cardMAC = "02:65:00:00:00:01";
    std::string clientMAC = "02:65:00:00:00:02";
    std::string error;

    Cable() {
        for (const auto& step : std::vector<std::vector<std::string>>{
                 {"netns", "add", serverNS},
                 {"netns", "add", clientNS},
                 {"link", "add", card, "netns", serverNS, "address", cardMAC, "type", "veth", "peer", "name", "cli0",
                  "netns", clientNS, "address", clientMAC},
                 {"-n", serverNS, "address", "add", "192.168.0.1/24", "dev", card},
                 {"-n", serverNS, "link", "set", card, "up"},
                 {"-n", serverNS, "link", "set", "lo", "up"},
                 {"-n", clientNS, "link", "set", "cli0", "up"},
             }) {
            auto output = ip(step);
            if (output.status != 0 && error.empty()) error = output.text;
        }
    }
    ~Cable() {
        ip({"netns", "delete", serverNS});
        ip({"netns", "delete", clientNS});
    }
};

class Unprivileged : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (::geteuid() == 0) install = new Install;
    }
    static void TearDownTestSuite() {
        delete install;
        install = nullptr;
    }

    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to install, grant the helper and create namespaces";
        for (const char* program : {"/bin/busybox", "/usr/sbin/getcap", "/usr/bin/setpriv"})
            if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is missing; run scripts/install-deps.sh";
        ASSERT_TRUE(install->error.empty()) << install->error;
        cable = std::make_unique<Cable>();
        if (!cable->error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << cable->error;
        ASSERT_EQ(::chown(home.path.c_str(), nobody, nobody), 0);
        writeFile(home / "udhcpc.sh", udhcpcScript, true);
    }

    void TearDown() override {
        clients.clear();
        programs.clear();
        cable.reset();
    }

    // Runs an installed program in the server namespace as uid 65534 with a home of its own, as a
    // member of the group dhcpanvil unless `member` is false. The user joins for this process
    // only: the system's group file is left as it is.
    Child& runAsNobody(const std::vector<std::string>& command, std::vector<std::string> environment = {},
                       bool member = true, const std::vector<std::string>& setprivOptions = {}) {
        auto folder = home.path.string();
        environment.insert(
            environment.end(),
            {"HOME=" + folder, "XDG_CONFIG_HOME=" + folder + "/.config", "XDG_DATA_HOME=" + folder + "/.local/share",
             "XDG_STATE_HOME=" + folder + "/.local/state", "XDG_RUNTIME_DIR=" + folder + "/runtime"});
        std::vector<std::string> full{"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                      member ? "--groups=" + std::to_string(*install->group) : "--clear-groups"};
        full.insert(full.end(), setprivOptions.begin(), setprivOptions.end());
        full.insert(full.end(), command.begin(), command.end());
        programs.push_back(std::make_unique<Child>(cable->serverNS, full, environment));
        return *programs.back();
    }

    Child& udhcpc() {
        clients.push_back(std::make_unique<Child>(
            cable->clientNS, std::vector<std::string>{"/bin/busybox", "udhcpc", "-f", "-i", "cli0", "-s",
                                                      home / "udhcpc.sh", "-t", "10", "-T", "1", "-A", "1"}));
        return *clients.back();
    }

    // The effective capabilities of a running program, from its status file.
    static std::string effectiveCapabilities(pid_t pid) {
        auto status = readFile("/proc/" + std::to_string(pid) + "/status");
        auto start = status.find("CapEff:");
        return start == std::string::npos ? "" : status.substr(start, status.find('\n', start) - start);
    }

    // What the app's tests need and this machine lacks; empty when nothing.
    std::string appMissing() const {
        if (::access((*install / "bin/DHCPAnvilApp").c_str(), X_OK) != 0) return "DHCPAnvilApp is not built";
        for (const char* program : {"/usr/bin/Xvfb", "/usr/bin/xdotool"})
            if (::access(program, X_OK) != 0) return std::string(program) + " is missing; run scripts/install-deps.sh";
        return {};
    }

    // Xvfb and the installed app on it as uid 65534, with the card remembered.
    void startApp(std::vector<std::string> environment = {}, const std::vector<std::string>& setprivOptions = {}) {
        // The default configuration serves 192.168.0.1/24, which the card holds.
        std::filesystem::create_directories(home / ".config/DHCP Anvil");
        std::filesystem::create_directories(home / "runtime");
        std::filesystem::permissions(home / "runtime", std::filesystem::perms::owner_all);
        writeFile(home / ".config/DHCP Anvil/DHCP Anvil.conf", "[General]\nselectedCardMAC=" + cable->cardMAC + "\n");
        ProcessRunner::run("/usr/bin/chown", {"-R", "65534:65534", home.path.string()}, std::chrono::seconds(30));

        display = ":" + std::to_string(200 + ::getpid() % 500);
        programs.push_back(std::make_unique<Child>(
            cable->serverNS,
            std::vector<std::string>{"/usr/bin/Xvfb", display, "-nolisten", "tcp", "-screen", "0", "1280x1000x24"}));
        // The app gives up at once on a display that is not there yet, so wait for the screen's socket.
        auto screenSocket = "/tmp/.X11-unix/X" + display.substr(1);
        for (int tries = 0; tries < 150 && ::access(screenSocket.c_str(), F_OK) != 0; ++tries)
            std::this_thread::sleep_for(100ms);
        ASSERT_EQ(::access(screenSocket.c_str(), F_OK), 0) << "Xvfb did not open " << display;
        environment.insert(environment.end(), {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"});
        app = &runAsNobody({*install / "bin/DHCPAnvilApp"}, environment, true, setprivOptions);
    }

    ProcessRunner::Output xdotool(const std::vector<std::string>& arguments) {
        std::vector<std::string> full{"netns",           "exec", cable->serverNS, "env", "DISPLAY=" + display,
                                      "/usr/bin/xdotool"};
        full.insert(full.end(), arguments.begin(), arguments.end());
        return ip(full);
    }

    // The titles of the windows on the screen, for a failure's message.
    std::string windowTitles() {
        return xdotool({"search", "--onlyvisible", "--name", ".", "getwindowname", "%@"}).text;
    }

    // Whether a line of the day's log file holds `text`.
    bool logSays(const std::string& text) {
        std::error_code missing;
        for (const auto& entry : std::filesystem::directory_iterator(home / ".local/state/DHCP Anvil/logs", missing))
            if (readFile(entry.path()).find(text) != std::string::npos) return true;
        return false;
    }

    // Tries `done` about once a second, at most `seconds` times.
    static bool eventually(int seconds, const std::function<bool()>& done) {
        for (int attempt = 0; attempt < seconds; ++attempt) {
            if (done()) return true;
            std::this_thread::sleep_for(1s);
        }
        return done();
    }

    // Ctrl+R until the day's log says the server started: the window may still be launching.
    void startServing() {
        std::string pressed;
        bool started = eventually(30, [&] {
            if (logSays("START")) return true;
            pressed =
                xdotool({"search", "--onlyvisible", "--name", "^DHCP Anvil$", "windowfocus", "--sync", "key", "ctrl+r"})
                    .text;
            return false;
        });
        ASSERT_TRUE(started) << app->output() << pressed;
    }

    static Install* install;
    std::string display;
    Child* app = nullptr;
    std::unique_ptr<Cable> cable;
    TempFolder home;
    std::vector<std::unique_ptr<Child>> programs;
    std::vector<std::unique_ptr<Child>> clients;
};

Install* Unprivileged::install = nullptr;

TEST_F(Unprivileged, InstallGrantsTheHelperAloneAndTheToolServesAClientAsNobody) {
    EXPECT_EQ(capabilities(*install / "bin/dhcpanvil"), "");
    if (::access((*install / "bin/DHCPAnvilApp").c_str(), F_OK) == 0) {
        EXPECT_EQ(capabilities(*install / "bin/DHCPAnvilApp"), "");
    }
    auto helper = *install / "libexec/dhcpanvil/dhcpanvil-helper";
    EXPECT_EQ(capabilities(helper), helper + " cap_net_bind_service,cap_net_raw=ep\n");
    struct stat held {};
    ASSERT_EQ(::stat(helper.c_str(), &held), 0);
    EXPECT_EQ(held.st_uid, 0u);
    EXPECT_EQ(held.st_gid, *install->group);
    EXPECT_EQ(held.st_mode & 07777, 0750u);

    auto& server = runAsNobody(
        {*install / "bin/dhcpanvil", "serve", "--iface", cable->card, "--leases", home / ".local/share/leases.json"});
    ASSERT_GE(server.waitForLine("START", 15s), 0) << server.output();
    EXPECT_EQ(effectiveCapabilities(server.pid()), "CapEff:\t0000000000000000");
    // A new namespace admits no group to ping sockets, and the helper hands out no raw socket.
    EXPECT_GE(server.waitForLine("presence probes use TCP alone", 5s), 0) << server.output();

    auto& client = udhcpc();
    EXPECT_GE(client.waitForLine("udhcpc-event bound 192.168.0.", 30s), 0) << client.output() << server.output();
    EXPECT_GE(server.waitForLine("ACK", 5s), 0) << server.output();
    EXPECT_EQ(server.stop(), 0) << server.output();
    EXPECT_NE(readFile(home / ".local/share/leases.json").find(cable->clientMAC), std::string::npos);
}

TEST_F(Unprivileged, AUserOutsideTheGroupIsToldHowToJoin) {
    auto& server = runAsNobody(
        {*install / "bin/dhcpanvil", "serve", "--iface", cable->card, "--leases", home / ".local/share/leases.json"},
        {}, false);
    EXPECT_TRUE(server.waitForExit(15s)) << server.output();
    EXPECT_EQ(server.stop(), 1) << server.output();
    EXPECT_GE(server.waitForLine("dhcpanvil: " + std::string(BenchCardRule::notInGroup), 1s), 0) << server.output();
    EXPECT_EQ(server.output().find("START"), std::string::npos) << server.output();
}

// Started from a service manager or a script that closed them, the tool serves all the same.
TEST_F(Unprivileged, TheToolServesWhenStartedWithItsStandardDescriptorsClosed) {
    auto leases = home / ".local/share/leases.json";
    auto& server = runAsNobody({"/bin/sh", "-c", "exec <&- >&- 2>&- \"$0\" \"$@\"", *install / "bin/dhcpanvil", "serve",
                                "--iface", cable->card, "--leases", leases});
    auto& client = udhcpc();
    EXPECT_GE(client.waitForLine("udhcpc-event bound 192.168.0.", 30s), 0) << client.output();
    EXPECT_EQ(server.stop(), 0);
    EXPECT_NE(readFile(leases).find(cable->clientMAC), std::string::npos) << readFile(leases);
}

TEST_F(Unprivileged, InstalledAppServesOnCtrlRAsNobodyUnderXvfb) {
    if (auto missing = appMissing(); !missing.empty()) GTEST_SKIP() << missing;
    startApp();
    if (HasFatalFailure()) return;
    startServing();
    if (HasFatalFailure()) return;
    EXPECT_EQ(effectiveCapabilities(app->pid()), "CapEff:\t0000000000000000");

    auto& client = udhcpc();
    EXPECT_GE(client.waitForLine("udhcpc-event bound 192.168.0.", 30s), 0) << client.output() << app->output();
}

// A loader at 192.168.0.86 keeps asking for 192.168.0.66: "Serve a file to it" names the address
// before adding it, then asks for the file the device wants, and the device gets that file.
TEST_F(Unprivileged, InstalledAppServesARecoveryLoaderTheFileChosenInItsDialog) {
    if (auto missing = appMissing(); !missing.empty()) GTEST_SKIP() << missing;
    for (const char* program : {"/usr/bin/tftp", "/usr/sbin/setcap"})
        if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is missing; run scripts/install-deps.sh";
    // The user may change this card, as NetworkManager lets a desktop user change its cards: a copy
    // of ip with cap_net_admin comes first on the app's PATH, in a folder of its own (a change of
    // owner would take the capability away). ip keeps it only when the capability is inheritable,
    // which alone grants the app nothing.
    TempFolder tools;
    ::chmod(tools.path.c_str(), 0755);
    std::filesystem::copy_file(ipTool, tools / "ip");
    auto granted = ProcessRunner::run("/usr/sbin/setcap", {"cap_net_admin+ep", tools / "ip"});
    ASSERT_EQ(granted.status, 0) << granted.text;
    auto image = home / "recovery-image.bin";
    std::string bytes(200 * 1024 + 17, '\0');
    std::mt19937 generator(std::random_device{}());
    for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xff);
    writeFile(image, bytes);

    startApp({"PATH=" + tools.path.string() + ":/usr/sbin:/usr/bin:/sbin:/bin"}, {"--inh-caps=+net_admin"});
    if (HasFatalFailure()) return;
    startServing();
    if (HasFatalFailure()) return;
    EXPECT_EQ(effectiveCapabilities(app->pid()), "CapEff:\t0000000000000000");

    ASSERT_EQ(ip({"-n", cable->clientNS, "address", "add", "192.168.0.86/24", "dev", "cli0"}).status, 0);
    auto copy = home / "device-copy.bin";
    // tftp ends with 0 after an error packet too: what it wrote tells.
    clients.push_back(std::make_unique<Child>(
        cable->clientNS,
        std::vector<std::string>{
            "/bin/sh", "-c",
            "for i in $(seq 90); do timeout 3 /usr/bin/tftp -m binary 192.168.0.66 -c get recovery.bin " + copy +
                "; test -s " + copy + " && echo fetched && break; sleep 1; done"}));
    auto& loader = *clients.back();
    ASSERT_TRUE(eventually(30, [&] { return logSays("is looking for 192.168.0.66 (a firmware recovery loader?)"); }))
        << app->output();

    auto cardAddresses = [&] { return ip({"-n", cable->serverNS, "address", "show", "dev", cable->card}).text; };
    auto shown = [&](const std::string& title) {
        return xdotool({"search", "--onlyvisible", "--name", title}).status == 0;
    };
    // Alt+V is the banner's "Serve a file to it"; it asks before anything runs.
    auto question = "^Add 192\\.168\\.0\\.66/24 to " + cable->card + "\\?$";
    ASSERT_TRUE(eventually(
        20,
        [&] {
            xdotool({"search", "--onlyvisible", "--name", "^DHCP Anvil$", "windowfocus", "--sync", "key", "alt+v"});
            return shown(question);
        }))
        << windowTitles() << app->output();
    EXPECT_EQ(cardAddresses().find("192.168.0.66"), std::string::npos) << cardAddresses();
    ASSERT_TRUE(eventually(
        20,
        [&] {
            xdotool({"search", "--onlyvisible", "--name", question, "windowfocus", "--sync", "key", "alt+a"});
            return cardAddresses().find("192.168.0.66/24") != std::string::npos;
        }))
        << windowTitles() << app->output();

    // The device's next request finds no file: the app asks which one to send.
    auto chooser = std::string("^Choose the file to send as recovery\\.bin$");
    ASSERT_TRUE(eventually(40, [&] { return shown(chooser); })) << windowTitles() << app->output() << loader.output();
    xdotool({"search", "--onlyvisible", "--name", chooser, "windowfocus", "--sync", "type", "--delay", "5", image});
    // The first Return may only close the list of names that complete the typed one.
    ASSERT_TRUE(eventually(
        10,
        [&] {
            if (shown(chooser))
                xdotool({"search", "--onlyvisible", "--name", chooser, "windowfocus", "--sync", "key", "Return"});
            return loader.waitForLine("fetched", 2s) >= 0;
        }))
        << windowTitles() << app->output() << loader.output();
    auto fetched = readFile(copy);
    EXPECT_TRUE(fetched == bytes) << "the device's copy (" << fetched.size() << " bytes) differs from the chosen file ("
                                  << bytes.size() << " bytes)" << loader.output() << app->output();
}

// A device fills every TFTP slot from addresses it makes up, asking for the longest timeout: the
// ones from outside the bench's networks get nothing, a fifth from one address is refused, and the
// ones inside give way to a device holding a lease, while one without a lease is refused.
TEST_F(Unprivileged, madeUpTFTPSourcesHoldNoSlotALeaseHolderNeeds) {
    auto folder = home / "boot";
    std::filesystem::create_directory(folder);
    boot::writeRandomFile(folder + "/small.bin", 3 * 1024 * 1024);
    // A route the office might give: replies to the made-up outside source would leave the card.
    ip({"-n", cable->serverNS, "route", "add", "10.99.0.0/24", "dev", cable->card});
    auto& server = runAsNobody({*install / "bin/dhcpanvil", "serve", "--iface", cable->card, "--leases",
                                home / ".local/share/leases.json", "--boot", folder});
    ASSERT_GE(server.waitForLine("START", 15s), 0) << server.output();
    auto& client = udhcpc();
    auto bound = client.waitForLine("udhcpc-event bound 192.168.0.", 30s);
    ASSERT_GE(bound, 0) << client.output() << server.output();
    std::istringstream lines(client.output());
    std::string line;
    for (int index = 0; index <= bound; ++index) std::getline(lines, line);
    auto leased = line.substr(line.rfind(' ') + 1);
    std::vector<std::string> inside{"192.168.0.2", "192.168.0.3", "192.168.0.4", "192.168.0.5"};
    for (const auto& address : inside) ip({"-n", cable->clientNS, "address", "add", address + "/24", "dev", "cli0"});
    ip({"-n", cable->clientNS, "address", "add", "10.99.0.2/24", "dev", "cli0"});

    std::vector<int> sockets;
    auto ask = [&](const std::string& source) {
        sockets.push_back(boot::udpSocketIn(cable->clientNS, source));
        auto request = boot::readRequest("small.bin", {{"timeout", "255"}});
        EXPECT_TRUE(boot::sendTo(sockets.back(), "192.168.0.1", 69, request));
        return boot::receive(sockets.back(), 3s);
    };
    for (int round = 0; round < 2; ++round) EXPECT_FALSE(ask("10.99.0.2")) << "answered a source outside the bench";
    // A refusal is told to the device, not left unanswered.
    auto refused = [&](const std::string& source, const std::string& why) {
        auto reply = ask(source);
        EXPECT_TRUE(reply && reply->opcode() == 5) << source << " was not refused\n" << server.output();
        EXPECT_GE(server.waitForLine(why, 5s), 0) << server.output();
    };
    int held = 0;
    for (const auto& source : inside) {
        for (int request = 0; request < 4; ++request) {
            auto reply = ask(source);
            held += reply && reply->opcode() != 5 ? 1 : 0;
        }
        if (source == inside.front()) refused(source, std::string(TFTPText::tooManyForClient));
    }
    EXPECT_EQ(held, 16) << server.output();
    auto reply = ask(leased);
    ASSERT_TRUE(reply) << server.output();
    EXPECT_EQ(reply->opcode(), 3) << "the lease holder was refused: " << reply->bytes.substr(4);
    EXPECT_GE(server.waitForLine("took the slot of this one", 5s), 0) << server.output();
    refused(inside.back(), std::string(TFTPText::tooManyTransfers));
    for (int fd : sockets) ::close(fd);
}

// Another user of this computer sends requests to the card's address, from loopback, or as a
// broadcast out of the card that comes back: none is answered, none reaches the boot folder.
TEST_F(Unprivileged, aLocalUserGetsNothingFromTheBootFolder) {
    auto folder = home / "boot";
    std::filesystem::create_directory(folder);
    writeFile(folder + "/private.bin", "the technician's firmware");
    auto& server = runAsNobody({*install / "bin/dhcpanvil", "serve", "--iface", cable->card, "--leases",
                                home / ".local/share/leases.json", "--boot", folder});
    ASSERT_GE(server.waitForLine("START", 15s), 0) << server.output();
    struct Case {
        const char* what;
        std::string address;
        std::string source;
        std::string card;
    };
    const std::vector<Case> cases{
        {"unicast to the card's address", "192.168.0.1", "", ""},
        {"from another loopback address", "192.168.0.1", "127.0.0.5", ""},
        {"a broadcast out of the card", "255.255.255.255", "", cable->card},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.what);
        EXPECT_EQ(localUserAsks(cable->serverNS, each.address, each.source, each.card, "private.bin"), 0)
            << server.output();
    }
    EXPECT_EQ(linesWith(server, "asks for private.bin"), 0) << server.output();
    EXPECT_GE(linesWith(server, "an address of this computer"), 1) << server.output();
    EXPECT_GE(linesWith(server, "a loopback address"), 1) << server.output();
}

// The card goes administratively down and up while serving: the watch of its cable comes back
// with it, as the DHCP socket does, and sees a device announce itself afterwards.
TEST_F(Unprivileged, theCableWatchReturnsAfterTheCardGoesDownAndUp) {
    if (::access("/usr/bin/arping", X_OK) != 0) GTEST_SKIP() << "arping is missing; run scripts/install-deps.sh";
    struct Run {
        std::vector<std::string> command;
        std::string started;
    };
    const std::vector<Run> runs{
        {{*install / "bin/dhcpanvil", "serve", "--iface", cable->card, "--leases", home / ".local/share/leases.json"},
         "START"},
        {{*install / "bin/dhcpanvil", "watch", "--iface", cable->card}, "Watching " + cable->card},
    };
    int last = 76;
    for (const auto& run : runs) {
        SCOPED_TRACE(run.command[1]);
        auto& program = runAsNobody(run.command);
        ASSERT_GE(program.waitForLine(run.started, 15s), 0) << program.output();
        auto announce = [&](const std::string& address) {
            ip({"-n", cable->clientNS, "address", "flush", "dev", "cli0"});
            ip({"-n", cable->clientNS, "address", "add", address + "/24", "dev", "cli0"});
            clients.push_back(std::make_unique<Child>(
                cable->clientNS, std::vector<std::string>{"/usr/bin/arping", "-U", "-c", "30", "-I", "cli0", address}));
        };
        auto before = "192.168.0." + std::to_string(++last);
        announce(before);
        ASSERT_GE(program.waitForLine(before, 20s), 0) << program.output();
        clients.clear();

        ip({"-n", cable->serverNS, "link", "set", cable->card, "down"});
        ASSERT_GE(program.waitForLine("Watching the cable of " + cable->card + " ended", 10s), 0) << program.output();
        auto from = program.lineCount();
        ip({"-n", cable->serverNS, "link", "set", cable->card, "up"});
        auto after = "192.168.0." + std::to_string(++last);
        announce(after);
        EXPECT_GE(program.waitForLine(after, 30s, from), 0) << "the watch did not come back\n" << program.output();
        clients.clear();
        programs.clear();
    }
}

}  // namespace
}  // namespace anvil::field
