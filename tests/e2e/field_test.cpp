// dhcpanvil serving real DHCP clients (busybox udhcpc, ISC dhclient) over a veth pair between two
// network namespaces, with the card unplugged, its link dropped and a second server on the cable.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>

#include <map>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/addressing/system_clock.hpp"
#include "core/leases/lease_file.hpp"
#include "tests/e2e/field_bench.hpp"
#include "tools/client_messages.hpp"

namespace anvil::field {
namespace {

constexpr const char* dhclientScript = R"(#!/bin/sh
case "$reason" in
  BOUND|RENEW|REBIND|REBOOT) ip address flush dev "$interface"; ip address add "$new_ip_address/24" dev "$interface" ;;
  EXPIRE|FAIL|RELEASE|STOP) ip address flush dev "$interface" ;;
esac
echo "dhclient-event $reason $new_ip_address"
)";

// What a local user can do to a server on the bench: from a child that joins the server's
// namespace and drops to uid 65534, broadcast `bytes` to port 67 through `card`, from a high port
// or the port given. The exit status: 0 sent, else the step that failed.
int broadcastAsNobody(const std::string& ns, const std::string& card, const Bytes& bytes, std::uint16_t port = 0) {
    int nsFD = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsFD < 0) return 10;
    std::fflush(nullptr);
    pid_t child = ::fork();
    if (child == 0) {
        if (::setns(nsFD, CLONE_NEWNET) != 0) ::_exit(11);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(12);
        int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) ::_exit(13);
        // Allowed to any user since Linux 5.7.
        if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, card.c_str(), static_cast<socklen_t>(card.size())) != 0)
            ::_exit(14);
        sockaddr_in source{};
        source.sin_family = AF_INET;
        source.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) != 0) ::_exit(18);
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(67);
        target.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        auto sent = ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
        ::_exit(sent == static_cast<ssize_t>(bytes.size()) ? 0 : 15);
    }
    ::close(nsFD);
    if (child < 0) return 16;
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 17;
}

// An event line's label column as the server prints it, followed by the start of its text.
std::string labelled(std::string label, const std::string& text) {
    label.resize(std::max<std::size_t>(label.size(), 12), ' ');
    return label + " " + text;
}

class FieldTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
        for (const char* program : {"/bin/busybox", "/sbin/dhclient"})
            if (::access(program, X_OK) != 0)
                GTEST_SKIP() << program << " is missing; run scripts/install-deps.sh as root";
        bench = std::make_unique<Namespaces>();
        if (!bench->error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench->error;
        writeFile(temp / "udhcpc.sh", udhcpcAddressScript, true);
        writeFile(temp / "dhclient.sh", dhclientScript, true);
        writeFile(temp / "dhclient.conf", "");
    }

    void TearDown() override {
        if (HasFailure() && server) std::printf("server output:\n%s", server->output().c_str());
        // Clients and the server end before their namespaces go.
        clients.clear();
        server.reset();
        bench.reset();
    }

    void startServer(const std::string& range, const std::vector<std::string>& extra = {}) {
        std::vector<std::string> command{ANVIL_DHCPANVIL_PATH, "serve", "--iface", bench->card,  "--server",
                                         "10.66.0.1/24",       "--range", range,      "--lease", "1h",
                                         "--leases",           temp / "leases.json"};
        command.insert(command.end(), extra.begin(), extra.end());
        server = std::make_unique<Child>(
            bench->serverNS, command,
            std::vector<std::string>{"HOME=" + temp.path.string(), "XDG_STATE_HOME=" + (temp / "state"),
                                     "XDG_DATA_HOME=" + (temp / "data")});
        ASSERT_GE(server->waitForLine("START", 10s), 0) << server->output();
    }

    Child& udhcpc(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> command{"/bin/busybox", "udhcpc", "-f", "-i", "cli0", "-s", temp / "udhcpc.sh",
                                         "-t",           "10",     "-T", "1",  "-A",   "1"};
        command.insert(command.end(), extra.begin(), extra.end());
        clients.push_back(std::make_unique<Child>(bench->clientNS, command));
        return *clients.back();
    }

    std::vector<std::string> dhclientArguments(const std::string& interface = "cli0") {
        return {"-cf", temp / "dhclient.conf", "-lf",    temp / "dhclient.leases", "-pf", temp / "dhclient.pid",
                "-sf", temp / "dhclient.sh",   interface};
    }

    Child& dhclient(const std::string& interface = "cli0") {
        std::vector<std::string> command{"/sbin/dhclient", "-d", "-v"};
        for (auto& argument : dhclientArguments(interface)) command.push_back(argument);
        clients.push_back(std::make_unique<Child>(bench->clientNS, command));
        return *clients.back();
    }

    // The stored lease of a hardware address as "state ip", waiting (bounded) for `expected`.
    std::string storedLease(const std::string& mac, const std::string& expected = "") {
        std::string found = "none";
        for (int attempt = 0; attempt < 50; ++attempt) {
            found = "none";
            // Read as every reader does: the snapshot with the journal's newer changes.
            try {
                auto loaded = LeaseFile(temp / "leases.json").load(systemNow(), LeaseFile::Undecodable::refuse);
                if (auto lease = loaded.table.lease(*MACAddress::parse(mac)))
                    found = std::string(rawValue(lease->state)) + " " + lease->ip.description();
            } catch (const std::exception& error) {
                found = std::string("unreadable: ") + error.what();
            }
            if (expected.empty() || found == expected) break;
            std::this_thread::sleep_for(100ms);
        }
        return found;
    }

    // Waits for a server line and returns the index after it, so later waits look further on.
    int expectServerLine(const std::string& text, int from = 0, std::chrono::milliseconds limit = 10s) {
        int index = server->waitForLine(text, limit, from);
        EXPECT_GE(index, 0) << "the server never printed: " << text;
        return index < 0 ? from : index + 1;
    }

    TempFolder temp;
    std::unique_ptr<Namespaces> bench;
    std::unique_ptr<Child> server;
    std::vector<std::unique_ptr<Child>> clients;
};

TEST_F(FieldTest, udhcpcObtainsRenewsRebootsAndReleases) {
    // One address in the range: after the release it must go to the next device.
    startServer("10.66.0.100-10.66.0.100");
    auto& first = udhcpc();
    ASSERT_GE(first.waitForLine("udhcpc-event bound 10.66.0.100", 15s), 0) << first.output();
    int at = expectServerLine(labelled("TX ACK", "10.66.0.100"));
    EXPECT_EQ(storedLease(bench->clientMAC, "bound 10.66.0.100"), "bound 10.66.0.100");

    // Renewal is unicast from the bound address, and so is the ACK.
    first.signal(SIGUSR1);
    EXPECT_GE(first.waitForLine("udhcpc-event renew 10.66.0.100", 10s), 0) << first.output();
    at = expectServerLine("ciaddr=10.66.0.100", at);
    expectServerLine("10.66.0.100 -> 10.66.0.100:68 via " + bench->card, at);
    first.stop();

    // A restart asks for the address it remembers and gets it back.
    auto& again = udhcpc({"-r", "10.66.0.100"});
    ASSERT_GE(again.waitForLine("udhcpc-event bound 10.66.0.100", 15s), 0) << again.output();
    at = expectServerLine("req=10.66.0.100", at);

    again.signal(SIGUSR2);
    at = expectServerLine("RX RELEASE", at);
    EXPECT_EQ(storedLease(bench->clientMAC, "released 10.66.0.100"), "released 10.66.0.100");
    again.stop();

    // Another device now gets the released address.
    ASSERT_EQ(ip({"-n", bench->clientNS, "link", "set", "cli0", "address", "02:66:00:00:00:03"}).status, 0);
    auto& other = udhcpc();
    ASSERT_GE(other.waitForLine("udhcpc-event bound 10.66.0.100", 15s), 0) << other.output();
    EXPECT_EQ(storedLease("02:66:00:00:00:03", "bound 10.66.0.100"), "bound 10.66.0.100");
    EXPECT_NE(storedLease(bench->clientMAC), "bound 10.66.0.100");

    EXPECT_EQ(server->stop(), 0);
    EXPECT_GE(server->waitForLine("STOP", 1s), 0);
}

TEST_F(FieldTest, dhclientObtainsRenewsRebootsAndReleases) {
    // A short renewal time from the client's side keeps the renewal within seconds.
    writeFile(temp / "dhclient.conf", "supersede dhcp-renewal-time 2;\nsupersede dhcp-rebinding-time 50;\n");
    startServer("10.66.0.110-10.66.0.110");
    auto& first = dhclient();
    ASSERT_GE(first.waitForLine("dhclient-event BOUND 10.66.0.110", 20s), 0) << first.output();
    int at = expectServerLine(labelled("TX ACK", "10.66.0.110"));
    EXPECT_EQ(storedLease(bench->clientMAC, "bound 10.66.0.110"), "bound 10.66.0.110");

    EXPECT_GE(first.waitForLine("dhclient-event RENEW 10.66.0.110", 45s), 0) << first.output();
    at = expectServerLine("ciaddr=10.66.0.110", at);
    expectServerLine("10.66.0.110 -> 10.66.0.110:68 via " + bench->card, at);
    first.stop();

    // Started again with its lease file, dhclient asks for the remembered address (INIT-REBOOT).
    auto& again = dhclient();
    ASSERT_GE(again.waitForLine("dhclient-event REBOOT 10.66.0.110", 20s), 0) << again.output();
    at = expectServerLine("req=10.66.0.110", at);

    std::vector<std::string> release{"/sbin/dhclient", "-r", "-v"};
    for (auto& argument : dhclientArguments()) release.push_back(argument);
    Child releaser(bench->clientNS, release);
    EXPECT_TRUE(releaser.waitForExit(15s)) << releaser.output();
    at = expectServerLine("RX RELEASE", at);
    EXPECT_EQ(storedLease(bench->clientMAC, "released 10.66.0.110"), "released 10.66.0.110");

    ASSERT_EQ(ip({"-n", bench->clientNS, "link", "set", "cli0", "address", "02:66:00:00:00:03"}).status, 0);
    auto& other = udhcpc();
    ASSERT_GE(other.waitForLine("udhcpc-event bound 10.66.0.110", 15s), 0) << other.output();
    EXPECT_EQ(storedLease("02:66:00:00:00:03", "bound 10.66.0.110"), "bound 10.66.0.110");
}

TEST_F(FieldTest, receivedJSONNamesTheOptionsEachClientAskedFor) {
    startServer("10.66.0.160-10.66.0.169", {"--json"});
    auto& busybox = udhcpc({"-O", "ntpsrv", "-O", "tftp"});
    ASSERT_GE(busybox.waitForLine("udhcpc-event bound 10.66.0.16", 15s), 0) << busybox.output();
    busybox.stop();

    const std::string iscMAC = "02:66:00:00:00:05";
    ASSERT_EQ(ip({"-n", bench->clientNS, "link", "set", "cli0", "address", iscMAC}).status, 0);
    writeFile(temp / "dhclient.conf", "request subnet-mask, routers, domain-name-servers, ntp-servers, interface-mtu;\n");
    auto& isc = dhclient();
    ASSERT_GE(isc.waitForLine("dhclient-event BOUND 10.66.0.16", 20s), 0) << isc.output();
    expectServerLine(R"("mac":")" + iscMAC + R"(","maker":"locally administered")");

    // The request list of every received message, by client.
    std::map<std::string, nlohmann::json> requested;
    std::istringstream lines(server->output());
    for (std::string line; std::getline(lines, line);) {
        auto object = nlohmann::json::parse(line, nullptr, false);
        if (object.is_object() && object.value("event", "") == "received" && object.contains("requested"))
            requested[object.at("mac").get<std::string>()] = object.at("requested");
    }
    auto asked = [&](const std::string& mac, const char* name) {
        const auto& names = requested[mac];
        return std::find(names.begin(), names.end(), name) != names.end();
    };
    for (const char* name : {"Subnet Mask", "Router", "Domain Name Server", "NTP Servers", "TFTP Server Name"})
        EXPECT_TRUE(asked(bench->clientMAC, name)) << name << " in " << requested[bench->clientMAC].dump();
    for (const char* name : {"Subnet Mask", "Router", "Domain Name Server", "NTP Servers", "Interface MTU"})
        EXPECT_TRUE(asked(iscMAC, name)) << name << " in " << requested[iscMAC].dump();
    EXPECT_FALSE(asked(iscMAC, "TFTP Server Name"));
}

TEST_F(FieldTest, replugUnderAnotherNameReopensAndServes) {
    startServer("10.66.0.120-10.66.0.129");
    ASSERT_EQ(ip({"-n", bench->serverNS, "link", "delete", bench->card}).status, 0);
    int at = expectServerLine("The adapter was unplugged. Waiting for it to come back\u2026");

    auto renamed = "eng" + bench->tag;
    bench->plugCard(renamed);
    ASSERT_TRUE(bench->error.empty()) << bench->error;
    at = expectServerLine(renamed + " is back", at);

    auto& client = udhcpc();
    EXPECT_GE(client.waitForLine("udhcpc-event bound 10.66.0.12", 20s), 0) << client.output();
    expectServerLine("via " + renamed, at);
}

TEST_F(FieldTest, linkDownOnThePeerMarksLeasesOfflineUntilItReturns) {
    startServer("10.66.0.130-10.66.0.130");
    auto& client = udhcpc();
    ASSERT_GE(client.waitForLine("udhcpc-event bound 10.66.0.130", 15s), 0) << client.output();
    int at = server->lineCount();

    ASSERT_EQ(ip({"-n", bench->clientNS, "link", "set", "cli0", "down"}).status, 0);
    at = expectServerLine(labelled("LINK", "down"), at, 5s);
    at = expectServerLine("Link down. No device is connected to " + bench->card, at);
    at = expectServerLine(labelled("OFFLINE", "10.66.0.130 " + bench->clientMAC + " link down"), at);

    ASSERT_EQ(ip({"-n", bench->clientNS, "link", "set", "cli0", "up"}).status, 0);
    at = expectServerLine(labelled("LINK", "up"), at, 5s);
    // The presence cycle that follows the link finds the device answering again.
    expectServerLine(labelled("ONLINE", "10.66.0.130 " + bench->clientMAC), at, 15s);
}

// A local user's datagram through the served card is not a device: no offer, no lease; a real
// client on the cable is served as before.
TEST_F(FieldTest, localUserBroadcastingThroughTheCardIsNotServed) {
    startServer("10.66.0.100-10.66.0.109");
    const std::string intruder = "02:66:00:00:00:99";
    auto discover = load::discover(*MACAddress::parse(intruder), 0x5eed).serialize();
    for (int attempt = 0; attempt < 3; ++attempt)
        ASSERT_EQ(broadcastAsNobody(bench->serverNS, bench->card, discover), 0);
    int at = expectServerLine(labelled("DROP", "source port "));
    EXPECT_NE(server->output().find("is not the client port 68"), std::string::npos) << server->output();
    // Where unprivileged users may bind low ports, the client port is no proof: the sender's
    // address is this computer's own.
    ASSERT_EQ(ip({"netns", "exec", bench->serverNS, "sysctl", "-qw", "net.ipv4.ip_unprivileged_port_start=0"}).status,
              0);
    ASSERT_EQ(broadcastAsNobody(bench->serverNS, bench->card, discover, 68), 0);
    at = expectServerLine(labelled("DROP", "sent from 10.66.0.1, an address of this computer"), at);

    auto& client = udhcpc();
    ASSERT_GE(client.waitForLine("udhcpc-event bound 10.66.0.100", 15s), 0) << client.output();
    expectServerLine(labelled("TX ACK", "10.66.0.100"), at);
    EXPECT_EQ(storedLease(bench->clientMAC, "bound 10.66.0.100"), "bound 10.66.0.100");
    EXPECT_EQ(storedLease(intruder), "none");
    auto output = server->output();
    EXPECT_EQ(output.find(intruder), std::string::npos) << output;
    EXPECT_EQ(output.find(labelled("TX OFFER", "10.66.0.101")), std::string::npos) << output;
}

TEST_F(FieldTest, anotherServerOnTheCableIsNamed) {
    if (::access("/usr/sbin/dnsmasq", X_OK) != 0) GTEST_SKIP() << "dnsmasq is missing; run scripts/install-deps.sh";
    // In the client namespace a bridge joins the cable, dnsmasq and the client's own veth pair,
    // so dnsmasq hears the client's broadcasts as the server does.
    auto ns = bench->clientNS;
    for (std::vector<std::string> step : {
             std::vector<std::string>{"-n", ns, "link", "add", "br0", "type", "bridge"},
             std::vector<std::string>{"-n", ns, "link", "add", "dv0", "type", "veth", "peer", "name", "dc0", "address",
                                      "02:66:00:00:00:04"},
             std::vector<std::string>{"-n", ns, "link", "set", "cli0", "master", "br0"},
             std::vector<std::string>{"-n", ns, "link", "set", "dv0", "master", "br0"},
             std::vector<std::string>{"-n", ns, "address", "add", "10.66.0.2/24", "dev", "br0"},
             std::vector<std::string>{"-n", ns, "link", "set", "br0", "up"},
             std::vector<std::string>{"-n", ns, "link", "set", "dv0", "up"},
             std::vector<std::string>{"-n", ns, "link", "set", "dc0", "up"},
         })
        ASSERT_EQ(ip(step).status, 0) << step[3];

    startServer("10.66.0.140-10.66.0.149");
    Child dnsmasq(ns, {"/usr/sbin/dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--port=0", "-u", "root",
                       "--interface=br0", "--dhcp-range=10.66.0.150,10.66.0.159,2m", "--dhcp-authoritative",
                       "--dhcp-leasefile=" + (temp / "dnsmasq.leases"), "--pid-file=" + (temp / "dnsmasq.pid")});
    ASSERT_GE(dnsmasq.waitForLine("DHCP, IP range", 5s), 0) << dnsmasq.output();

    // The client turns down our offers, as if dnsmasq's had come first.
    writeFile(temp / "dhclient.conf", "reject 10.66.0.1;\n");
    auto& client = dhclient("dc0");
    EXPECT_GE(client.waitForLine("dhclient-event BOUND 10.66.0.15", 20s), 0) << client.output();
    expectServerLine("Another DHCP server is on this cable (10.66.0.2). The device chose it instead of DHCP Anvil.");
}

}  // namespace
}  // namespace anvil::field
