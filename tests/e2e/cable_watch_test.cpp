// Devices on the bench cable that never ask for an address (fixed factory addresses, LLDP
// speakers, a recovery loader asking TFTP of an address no one holds), seen passively by
// `dhcpanvil watch` and `dhcpanvil serve`, and reached by adding an address to the card.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <nlohmann/json.hpp>

#include "core/addressing/ipv4_address.hpp"
#include "core/host/host_setup.hpp"
#include "tests/e2e/boot_firmware.hpp"
#include "tests/e2e/cable_bench.hpp"

namespace anvil::field {
namespace {

using Clock = std::chrono::steady_clock;
using nlohmann::json;

bool holds(const json& list, const std::string& value) {
    if (!list.is_array()) return false;
    return std::any_of(list.begin(), list.end(), [&](const json& item) { return item == value; });
}

bool asksFor(const json& neighbour, const std::string& ip) {
    const auto& asks = neighbour.value("asksFor", json::array());
    if (!asks.is_array()) return false;
    return std::any_of(asks.begin(), asks.end(), [&](const json& item) { return item.value("ip", "") == ip; });
}

// The first JSON line of `process` matching `wanted`, polled until `limit`.
std::optional<json> waitForJSON(Child& process, const std::function<bool(const json&)>& wanted,
                                std::chrono::milliseconds limit = 10s) {
    auto deadline = Clock::now() + limit;
    do {
        std::istringstream lines(process.output());
        std::string line;
        while (std::getline(lines, line)) {
            auto object = json::parse(line, nullptr, false);
            if (object.is_object() && wanted(object)) return object;
        }
        std::this_thread::sleep_for(50ms);
    } while (Clock::now() < deadline);
    return std::nullopt;
}

std::function<bool(const json&)> neighbourClaiming(const std::string& ip) {
    return [ip](const json& line) { return line.value("event", "") == "neighbour" && holds(line.value("claims", json::array()), ip); };
}

std::function<bool(const json&)> noticeStarting(const std::string& text) {
    return [text](const json& line) {
        return line.value("event", "") == "notice" && line.value("text", "").rfind(text, 0) == 0;
    };
}

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class CableWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
        for (const char* program : {"/usr/bin/arping", "/bin/busybox", "/usr/bin/curl"})
            if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is missing; run scripts/install-deps.sh as root";
        bench = std::make_unique<CableBench>();
        if (!bench->error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench->error;
        writeFile(temp / "udhcpc.sh", udhcpcAddressScript, true);
    }

    void TearDown() override {
        if (HasFailure())
            for (auto* process : {watch.get(), server.get()})
                if (process) std::printf("dhcpanvil output:\n%s", process->output().c_str());
        // Devices and the server end before their namespaces go.
        devices.clear();
        watch.reset();
        server.reset();
        bench.reset();
    }

    std::vector<std::string> environment() {
        return {"HOME=" + temp.path.string(), "XDG_STATE_HOME=" + (temp / "state"), "XDG_DATA_HOME=" + (temp / "data")};
    }

    void startWatch() {
        watch = std::make_unique<Child>(bench->benchNS,
                                        std::vector<std::string>{ANVIL_DHCPANVIL_PATH, "watch", "--iface", bench->card, "--json"},
                                        environment());
    }

    void startServer(const std::vector<std::string>& extra = {}, bool asJSON = true,
                     const std::vector<std::string>& launcher = {}) {
        std::vector<std::string> command = launcher;
        command.insert(command.end(), {ANVIL_DHCPANVIL_PATH, "serve", "--iface", bench->card, "--server", "10.77.0.1/24",
                                       "--range", "10.77.0.100-10.77.0.150", "--lease", "1h", "--leases",
                                       temp / "leases.json"});
        if (asJSON) command.push_back("--json");
        command.insert(command.end(), extra.begin(), extra.end());
        server = std::make_unique<Child>(bench->benchNS, command, environment());
        auto started = asJSON ? waitForJSON(*server, [](const json& line) { return line.value("event", "") == "started"; })
                                  .has_value()
                            : server->waitForLine("START", 10s) >= 0;
        ASSERT_TRUE(started) << server->output();
    }

    Child& device(const std::string& ns, const std::vector<std::string>& command) {
        devices.push_back(std::make_unique<Child>(ns, command));
        return *devices.back();
    }

    // Runs the command that "Reach it" / "Stop reaching" builds for the card, in the bench namespace.
    void changeCardAddress(bool add, const std::string& address, int prefix) {
        auto ip = IPv4Address::parse(address);
        ASSERT_TRUE(ip);
        auto command = add ? HostSetup::addAddressCommand(HostSetup::SettingsTool::ipRoute, bench->card, *ip, prefix)
                           : HostSetup::removeAddressCommand(HostSetup::SettingsTool::ipRoute, bench->card, *ip, prefix);
        auto output = bench->shellInBench(command);
        ASSERT_EQ(output.status, 0) << command << ": " << output.text;
    }

    // A DHCP client on a fresh device namespace gets an address from the server.
    void expectServingAClient(const std::string& name) {
        auto ns = bench->plugDevice(name, "02:77:00:00:00:e" + name.substr(0, 1), "");
        ASSERT_TRUE(bench->error.empty()) << bench->error;
        auto& client = device(ns, {"/bin/busybox", "udhcpc", "-f", "-q", "-n", "-i", "eth", "-s", temp / "udhcpc.sh",
                                   "-t", "10", "-T", "1"});
        EXPECT_GE(client.waitForLine("udhcpc-event bound 10.77.0.", 20s), 0) << client.output();
    }

    TempFolder temp;
    std::unique_ptr<CableBench> bench;
    std::unique_ptr<Child> watch;
    std::unique_ptr<Child> server;
    std::vector<std::unique_ptr<Child>> devices;
};

// Device A announces 192.168.1.1 by gratuitous ARP; device B (192.168.0.100, gateway .1) only asks
// for its gateway. The watch shows both with their addresses; serving, A is advised and reached.
TEST_F(CableWatchTest, fixedAddressDevicesAreSeenAndReached) {
    auto deviceA = bench->plugDevice("a", "02:77:00:00:00:0a", "192.168.1.1/24");
    auto deviceB = bench->plugDevice("b", "02:77:00:00:00:0b", "192.168.0.100/24", "192.168.0.1");
    ASSERT_TRUE(bench->error.empty()) << bench->error;

    startWatch();
    // The watch's socket opens a moment after the program starts; devices repeat themselves, as
    // real ones do, so the first frame after that is what the delay is measured from.
    std::this_thread::sleep_for(1s);
    struct Case {
        const char* name;
        std::string ns;
        std::vector<std::string> command;
        std::string claims;
        std::string asks;
    };
    const std::vector<Case> cases{
        {"gratuitous ARP", deviceA, {"/usr/bin/arping", "-U", "-c", "2", "-I", "eth", "192.168.1.1"}, "192.168.1.1", ""},
        {"who-has its gateway", deviceB, {"/usr/bin/arping", "-c", "3", "-I", "eth", "192.168.0.1"}, "192.168.0.100",
         "192.168.0.1"},
    };
    for (const auto& each : cases) {
        SCOPED_TRACE(each.name);
        auto sent = Clock::now();
        auto& sender = device(each.ns, each.command);
        auto seen = waitForJSON(*watch, neighbourClaiming(each.claims), 10s);
        auto delay = secondsSince(sent);
        ASSERT_TRUE(seen) << "no neighbour line claiming " << each.claims << "\n" << watch->output() << sender.output();
        std::printf("%s: neighbour line %.3f s after its first frame was sent\n", each.name, delay);
        EXPECT_EQ(seen->value("change", ""), "seen");
        EXPECT_FALSE(seen->value("holdsLease", true));
        if (!each.asks.empty()) {
            auto asking = waitForJSON(*watch, [&](const json& line) {
                return neighbourClaiming(each.claims)(line) && asksFor(line, each.asks);
            }, 10s);
            EXPECT_TRUE(asking) << "never shown asking for " << each.asks;
        }
    }
    // SIGTERM ends the watch cleanly, as Ctrl-C does, and the day's log file has its lines.
    watch->signal(SIGTERM);
    ASSERT_TRUE(watch->waitForExit(5s)) << watch->output();
    EXPECT_EQ(watch->stop(), 0);
    std::string logged;
    for (const auto& entry : std::filesystem::directory_iterator(temp.path / "state" / "DHCP Anvil" / "logs"))
        logged += readFile(entry.path());
    EXPECT_NE(logged.find("NEIGH"), std::string::npos) << logged;
    devices.clear();

    startServer();
    if (HasFatalFailure()) return;
    auto& announcer = device(deviceA, {"/usr/bin/arping", "-U", "-c", "30", "-I", "eth", "192.168.1.1"});
    auto advice = waitForJSON(*server, noticeStarting("A device at 192.168.1.1 "), 20s);
    ASSERT_TRUE(advice) << announcer.output();
    EXPECT_NE(advice->value("text", "").find("is on the cable but doesn't ask for an address."), std::string::npos)
        << advice->dump();

    // "Reach it": .254 of the device's /24 on the card, and a web page on the device.
    writeFile(temp / "index.html", "bench camera\n");
    auto& web = device(deviceA, {"/bin/busybox", "httpd", "-f", "-p", "80", "-h", temp.path.string()});
    changeCardAddress(true, "192.168.1.254", 24);
    if (HasFatalFailure()) return;
    EXPECT_NE(bench->cardAddresses().find("192.168.1.254/24"), std::string::npos);
    std::string page;
    for (int attempt = 0; attempt < 20 && page.find("bench camera") == std::string::npos; ++attempt) {
        page = ProcessRunner::run(ipTool, {"netns", "exec", bench->benchNS, "/usr/bin/curl", "-sS", "--max-time", "3",
                                           "http://192.168.1.1/"}, 5s)
                   .text;
        if (page.find("bench camera") == std::string::npos) std::this_thread::sleep_for(250ms);
    }
    EXPECT_NE(page.find("bench camera"), std::string::npos) << page << web.output();

    // "Stop reaching": the address goes, serving goes on.
    changeCardAddress(false, "192.168.1.254", 24);
    if (HasFatalFailure()) return;
    EXPECT_EQ(bench->cardAddresses().find("192.168.1.254"), std::string::npos) << bench->cardAddresses();
    EXPECT_NE(bench->cardAddresses().find("10.77.0.1/24"), std::string::npos);
    expectServingAClient("c");
}

// lldpd in a device namespace, LLDP-MED on, with a system name set through its own control socket.
TEST_F(CableWatchTest, lldpSpeakerShowsItsNameAndInventory) {
    for (const char* program : {"/usr/sbin/lldpd", "/usr/sbin/lldpcli"})
        if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is missing; run scripts/install-deps.sh as root";
    auto deviceC = bench->plugDevice("c", "02:77:00:00:00:0c", "192.168.2.10/24");
    ASSERT_TRUE(bench->error.empty()) << bench->error;
    startWatch();
    std::this_thread::sleep_for(1s);

    // lldpd reaches its own socket after dropping to its user: the folder must let it through.
    std::filesystem::permissions(temp.path, std::filesystem::perms::others_exec | std::filesystem::perms::group_exec,
                                 std::filesystem::perm_options::add);
    auto socket = temp / "lldpd.socket";
    auto& lldpd = device(deviceC, {"/usr/sbin/lldpd", "-d", "-u", socket, "-I", "eth", "-M", "4", "-O", temp / "none.conf"});
    // Configured once its socket answers; every configuration change is sent at once.
    bool configured = false;
    std::string said;
    for (int attempt = 0; attempt < 50 && !configured; ++attempt) {
        auto output = ProcessRunner::run(ipTool, {"netns", "exec", deviceC, "/usr/sbin/lldpcli", "-u", socket,
                                                  "configure", "system", "hostname", "bench-cam"});
        configured = output.status == 0;
        said = output.text;
        if (!configured) std::this_thread::sleep_for(200ms);
    }
    ASSERT_TRUE(configured) << said << lldpd.output();
    ProcessRunner::run(ipTool, {"netns", "exec", deviceC, "/usr/sbin/lldpcli", "-u", socket, "configure", "lldp",
                                "tx-interval", "1"});
    // The inventory is lldpd's own where this lldpcli can set it; the test leans only on one it sets.
    auto model = ProcessRunner::run(ipTool, {"netns", "exec", deviceC, "/usr/sbin/lldpcli", "-u", socket, "configure",
                                             "inventory", "model", "BenchCam-7"});

    auto seen = waitForJSON(*watch, [](const json& line) {
        return line.value("event", "") == "neighbour" && line.contains("lldp") && line["lldp"].is_object() &&
               line["lldp"].value("systemName", "") == "bench-cam";
    }, 30s);
    ASSERT_TRUE(seen) << "no neighbour named bench-cam\n" << lldpd.output();
    EXPECT_EQ(seen->value("mac", ""), "02:77:00:00:00:0c");
    const auto& lldp = (*seen)["lldp"];
    std::printf("lldp fields: %s\n", lldp.dump().c_str());
    EXPECT_FALSE(lldp.value("chassisID", "").empty());
    EXPECT_FALSE(lldp.value("portID", "").empty());
    // lldpd sends the kernel's release as the software revision of its MED inventory.
    auto inventory = waitForJSON(*watch, [&](const json& line) {
        return line.value("event", "") == "neighbour" && line.contains("lldp") && line["lldp"].is_object() &&
               !line["lldp"].value("softwareRevision", "").empty() &&
               (model.status != 0 || line["lldp"].value("model", "") == "BenchCam-7");
    }, 15s);
    EXPECT_TRUE(inventory) << "no MED inventory (lldpcli inventory: " << model.status << " " << model.text << ")";
}

// A loader at 192.168.0.86 keeps asking for 192.168.0.66: serving names it, the address goes on the
// card, the file it asks for is served byte for byte, and the address goes again.
TEST_F(CableWatchTest, recoveryLoaderIsServedItsFile) {
    if (::access("/usr/bin/tftp", X_OK) != 0) GTEST_SKIP() << "tftp-hpa is missing; run scripts/install-deps.sh as root";
    auto deviceD = bench->plugDevice("d", "02:77:00:00:00:0d", "192.168.0.86/24");
    ASSERT_TRUE(bench->error.empty()) << bench->error;
    auto boot = temp / "boot";
    std::filesystem::create_directory(boot);
    boot::writeRandomFile(boot + "/recovery.bin", 1024 * 1024 + 333);

    startServer({"--boot", boot});
    if (HasFatalFailure()) return;
    // Each attempt is bounded by `timeout`; the loop ends at the first whole copy.
    auto copy = temp / "fetched.bin";
    auto& loader = device(deviceD, {"/bin/sh", "-c",
                                    "for i in $(seq 60); do timeout 3 /usr/bin/tftp -m binary 192.168.0.66 -c get "
                                    "recovery.bin " + copy + " && echo fetched && break; sleep 1; done"});
    // Its first frame alone may look like any device that does not ask; its repeated asking tells.
    auto advice = waitForJSON(*server, [](const json& line) {
        return line.value("event", "") == "notice" &&
               line.value("text", "") == "A device at 192.168.0.86 is looking for 192.168.0.66 (a firmware recovery loader?)";
    }, 30s);
    ASSERT_TRUE(advice) << loader.output();

    changeCardAddress(true, "192.168.0.66", 24);
    if (HasFatalFailure()) return;
    EXPECT_GE(loader.waitForLine("fetched", 60s), 0) << loader.output();
    EXPECT_TRUE(boot::fileBytes(copy) == boot::fileBytes(boot + "/recovery.bin")) << "the copy differs";
    auto requested = waitForJSON(*server, [](const json& line) {
        return line.value("event", "") == "tftpFinished" && line.value("file", "") == "recovery.bin";
    }, 5s);
    EXPECT_TRUE(requested) << "the transfer was not told";

    changeCardAddress(false, "192.168.0.66", 24);
    if (HasFatalFailure()) return;
    EXPECT_EQ(bench->cardAddresses().find("192.168.0.66"), std::string::npos) << bench->cardAddresses();
}

// Every notice line of the server's output whose text or command names `address`.
std::vector<std::string> noticesNaming(Child& server, const std::string& address) {
    std::vector<std::string> found;
    std::istringstream lines(server.output());
    for (std::string line; std::getline(lines, line);) {
        auto object = json::parse(line, nullptr, false);
        if (!object.is_object() || object.value("event", "") != "notice") continue;
        if (object.value("text", "").find(address) != std::string::npos ||
            object.value("addCommand", "").find(address) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

// The bench computer's other card, "office", on 10.78.0.5/24 with the default route via 10.78.0.1.
// A device asks who-has for that gateway and sends a TFTP request to the office address: the
// advice never proposes an address of the office network.
TEST_F(CableWatchTest, adviceNeverProposesTheOfficesAddresses) {
    if (::access("/usr/bin/tftp", X_OK) != 0) GTEST_SKIP() << "tftp-hpa is missing; run scripts/install-deps.sh as root";
    for (std::vector<std::string> step : {std::vector<std::string>{"-n", bench->benchNS, "link", "add", "office", "type",
                                                                   "veth", "peer", "name", "officelan"},
                                          {"-n", bench->benchNS, "address", "add", "10.78.0.5/24", "dev", "office"},
                                          {"-n", bench->benchNS, "link", "set", "officelan", "up"},
                                          {"-n", bench->benchNS, "link", "set", "office", "up"},
                                          {"-n", bench->benchNS, "route", "add", "default", "via", "10.78.0.1"}})
        bench->run(step);
    auto reader = bench->plugDevice("t", "02:77:00:00:00:1a", "192.168.9.9/24", "192.168.9.1");
    auto asker = bench->plugDevice("g", "02:77:00:00:00:1b", "192.168.7.7/24", "192.168.7.1");
    // The reader's requests leave for its gateway, the bench card.
    bench->run({"-n", reader, "neigh", "add", "192.168.9.1", "lladdr", bench->cardMAC, "dev", "eth"});
    ASSERT_TRUE(bench->error.empty()) << bench->error;
    startServer();
    if (HasFatalFailure()) return;

    auto& tftp = device(reader, {"/bin/sh", "-c", "for i in $(seq 10); do timeout 2 /usr/bin/tftp 10.78.0.5 -c get "
                                                  "recovery.bin /dev/null; sleep 1; done"});
    auto readerNotice = waitForJSON(*server, noticeStarting("A device at 192.168.9.9 "), 30s);
    ASSERT_TRUE(readerNotice) << tftp.output();
    auto sent = waitForJSON(*server, [](const json& line) {
        return line.value("event", "") == "neighbour" && line.value("tftpServer", "") == "10.78.0.5";
    }, 10s);
    EXPECT_TRUE(sent) << "the request to the office address was not seen";

    // Who-has for the office gateway first, then for a free address: the second is the only one to take.
    auto& arping = device(asker, {"/bin/sh", "-c", "/usr/bin/arping -c 5 -I eth 10.78.0.1; "
                                                   "/usr/bin/arping -c 5 -I eth 192.168.7.66"});
    auto loaderNotice = waitForJSON(*server, [](const json& line) {
        return line.value("event", "") == "notice" &&
               line.value("text", "") == "A device at 192.168.7.7 is looking for 192.168.7.66 (a firmware recovery loader?)";
    }, 40s);
    ASSERT_TRUE(loaderNotice) << arping.output();
    auto asked = waitForJSON(*server, [](const json& line) {
        if (line.value("event", "") != "neighbour" || !line.contains("asksFor") || !line["asksFor"].is_array()) return false;
        for (const auto& ask : line["asksFor"])
            if (ask.is_object() && ask.value("ip", "") == "10.78.0.1" && ask.value("count", 0) >= 3) return true;
        return false;
    }, 5s);
    EXPECT_TRUE(asked) << "the who-has for the gateway was not seen three times";
    EXPECT_EQ(noticesNaming(*server, "10.78.0."), std::vector<std::string>{});
}

// 2,048 changing ARP frames of 256 devices filling eight /24s, then a steady trickle of changes,
// while a DHCP client asks for a lease: the lease arrives.
TEST_F(CableWatchTest, anARPFloodLeavesDHCPAnswered) {
    if (::system("/usr/bin/python3 -c 'import scapy' 2>/dev/null") != 0)
        GTEST_SKIP() << "python3-scapy is missing; run scripts/install-deps.sh as root";
    auto flooder = bench->plugDevice("f", "02:77:00:00:00:1f", "");
    ASSERT_TRUE(bench->error.empty()) << bench->error;
    writeFile(temp / "flood.py", R"(import socket, sys, time
from scapy.all import ARP, Ether
def frame(i):
    index = i % 2032
    address = "192.168.%d.%d" % (100 + index // 254, 1 + index % 254)
    device = i % 256
    mac = "02:66:00:00:%02x:%02x" % (device >> 8, device & 255)
    return bytes(Ether(src=mac, dst="ff:ff:ff:ff:ff:ff") / ARP(op=1, hwsrc=mac, psrc=address, pdst=address))
out = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
out.bind(("eth", 0))
frames = [frame(i) for i in range(4096)]
# Paced so that the socket's queue keeps them all: about 100 KB in four seconds.
for each in frames[:2048]:
    out.send(each)
    time.sleep(0.002)
print("flooded", flush=True)
# Then about 200 changes a second, for at most a minute.
for round in range(12000):
    out.send(frames[2048 + round % 2048])
    time.sleep(0.005)
)", false);
    startServer();
    if (HasFatalFailure()) return;
    // The watch's socket opens a moment after the server starts.
    std::this_thread::sleep_for(1s);
    auto& flood = device(flooder, {"/usr/bin/python3", temp / "flood.py"});
    ASSERT_GE(flood.waitForLine("flooded", 30s), 0) << flood.output();
    auto seen = waitForJSON(*server, [](const json& line) {
        return line.value("event", "") == "neighbour" && line.value("mac", "").rfind("02:66:", 0) == 0;
    }, 20s);
    ASSERT_TRUE(seen) << "the flood never reached the watch\n" << flood.output();
    // The trickle goes on while the client asks.
    std::this_thread::sleep_for(3s);
    expectServingAClient("c");
    int lines = 0;
    std::istringstream output(server->output());
    for (std::string line; std::getline(output, line);) lines += line.find("\"02:66:") != std::string::npos ? 1 : 0;
    std::printf("neighbour lines of the flood's devices: %d\n", lines);
}

// Without the right to open a packet socket the server says so once and serves on.
TEST_F(CableWatchTest, unopenableWatchLeavesServing) {
    if (::access("/usr/sbin/capsh", X_OK) != 0) GTEST_SKIP() << "capsh is missing (libcap2-bin)";
    startServer({}, false, {"/usr/sbin/capsh", "--drop=cap_net_raw", "--", "-c", "exec \"$0\" \"$@\""});
    if (HasFatalFailure()) return;
    expectServingAClient("e");
    int said = 0;
    std::istringstream lines(server->output());
    for (std::string line; std::getline(lines, line);)
        if (line.find("INFO ") != std::string::npos && (line.find("watch") != std::string::npos || line.find("cable") != std::string::npos))
            ++said;
    EXPECT_EQ(said, 1) << server->output();
}

}  // namespace
}  // namespace anvil::field
