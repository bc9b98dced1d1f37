// Real cards in throwaway network namespaces: a veth pair whose card side is named "en…".
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <thread>
#include <vector>

#include "core/host/arp_table.hpp"
#include "core/host/async_prober.hpp"
#include "core/host/host_setup.hpp"
#include "core/host/interface_monitor.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/preflight.hpp"
#include "core/host/prober.hpp"
#include "core/host/process_runner.hpp"
#include "core/host/tftp_sockets.hpp"

namespace anvil {
namespace {

const std::string ipTool = "/usr/sbin/ip";

ProcessRunner::Output ip(std::vector<std::string> arguments) { return ProcessRunner::run(ipTool, arguments); }

// Two namespaces joined by a veth pair; removed again however the test ends.
struct Bench {
    std::string cardNamespace = "anvil-card-" + std::to_string(getpid());
    std::string peerNamespace = "anvil-peer-" + std::to_string(getpid());
    std::string card = "enanv" + std::to_string(getpid());
    std::string peer = "anvpeer";
    std::string error;

    Bench() {
        std::vector<std::vector<std::string>> steps{
            {"netns", "add", cardNamespace},
            {"netns", "add", peerNamespace},
            {"link", "add", card, "netns", cardNamespace, "type", "veth", "peer", "name", peer, "netns", peerNamespace},
            {"-n", cardNamespace, "address", "add", "10.77.0.1/24", "dev", card},
            {"-n", peerNamespace, "address", "add", "10.77.0.2/24", "dev", peer},
            {"-n", cardNamespace, "link", "set", card, "up"},
            {"-n", peerNamespace, "link", "set", peer, "up"},
            {"-n", cardNamespace, "link", "set", "lo", "up"},
        };
        for (const auto& step : steps) {
            auto output = ip(step);
            if (output.status != 0) {
                error = output.text;
                return;
            }
        }
    }
    ~Bench() {
        ip({"netns", "delete", cardNamespace});
        ip({"netns", "delete", peerNamespace});
    }

    std::string hardwareAddress(const std::string& ns, const std::string& name) const {
        return inNamespace(ns, [&] {
            std::ifstream file("/sys/class/net/" + name + "/address");
            std::string text;
            std::getline(file, text);
            return text;
        });
    }

    void sysctl(const std::string& ns, const std::string& key, const std::string& value) const {
        ProcessRunner::run(ipTool, {"netns", "exec", ns, "/sbin/sysctl", "-qw", key + "=" + value});
    }

    // Runs `body` in a child that entered the namespace with its own /sys, as `ip netns exec` does.
    static std::string inNamespace(const std::string& ns, const std::function<std::string()>& body) {
        int ends[2];
        if (pipe(ends) != 0) return "pipe failed";
        std::fflush(nullptr);
        pid_t child = fork();
        if (child == 0) {
            close(ends[0]);
            std::string result;
            int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0 || unshare(CLONE_NEWNS) != 0 ||
                mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr) != 0 || umount2("/sys", MNT_DETACH) != 0 ||
                mount("sysfs", "/sys", "sysfs", 0, nullptr) != 0)
                result = "could not enter " + ns;
            else
                result = body();
            [[maybe_unused]] auto written = write(ends[1], result.data(), result.size());
            _exit(0);
        }
        close(ends[1]);
        std::string result;
        char buffer[4096];
        ssize_t count;
        while ((count = read(ends[0], buffer, sizeof buffer)) > 0)
            result.append(buffer, static_cast<std::size_t>(count));
        close(ends[0]);
        int status = 0;
        waitpid(child, &status, 0);
        return result;
    }
};

class NamespaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
        bench = std::make_unique<Bench>();
        if (!bench->error.empty()) GTEST_SKIP() << "cannot build a veth bench: " << bench->error;
    }
    std::unique_ptr<Bench> bench;
};

std::optional<NetworkCard> findCard(const std::string& name) {
    for (const auto& card : Interfaces::list())
        if (card.bsdName == name) return card;
    return std::nullopt;
}

TEST_F(NamespaceTest, vethCardIsListedAsLinkedEthernet) {
    auto mac = bench->hardwareAddress(bench->cardNamespace, bench->card);
    auto card = bench->card;
    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        auto found = findCard(card);
        if (!found) return std::string("missing");
        return std::string(rawValue(found->kind)) + "|" + (found->mac ? found->mac->description() : "-") + "|" +
               (found->linkUp ? "up" : "down") + "|" + found->media.value_or("-") + "|" +
               found->serviceName.value_or("-") + "|" + found->addressSummary() + "|" +
               std::to_string(Interfaces::offered(Interfaces::list(), false).size()) + "|" +
               Interfaces::bsdName(*found->mac).value_or("-");
    });
    EXPECT_EQ(text, "ethernet|" + mac + "|up|10GBase-T full-duplex|" + card + "|10.77.0.1 (manual)|1|" + card);
}

TEST_F(NamespaceTest, linkDownFlipsMediaStatusAndFiresMonitor) {
    auto card = bench->card;
    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        std::atomic<int> changes{0};
        InterfaceMonitor monitor([&] { ++changes; });
        monitor.start();
        auto before = Interfaces::mediaStatus(card).linkUp;
        ip({"link", "set", card, "down"});
        for (int i = 0; i < 300 && changes == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        monitor.stop();
        auto after = Interfaces::mediaStatus(card);
        return std::string(before ? "up" : "down") + "|" + (after.linkUp ? "up" : "down") + "|" +
               (changes > 0 ? "fired" : "silent") + "|" + (monitor.isWatching() ? "watching" : "idle");
    });
    EXPECT_EQ(text, "up|down|fired|idle");
}

TEST_F(NamespaceTest, probeAnswersAndFillsTheNeighbourTable) {
    auto card = bench->card;
    auto peerMAC = bench->hardwareAddress(bench->peerNamespace, bench->peer);
    IPv4Address peerIP(10, 77, 0, 2);
    bench->sysctl(bench->peerNamespace, "net.ipv4.icmp_echo_ignore_all", "1");
    auto refused = Bench::inNamespace(bench->cardNamespace, [&] {
        auto result = Prober(card).probe(peerIP, 1.0);
        auto table = ARPTable::read();
        auto entry = table.find(peerIP);
        return result.detail + "|" + (entry == table.end() ? "-" : entry->second.description());
    });
    EXPECT_EQ(refused, "tcp 80 refused|" + peerMAC);

    bench->sysctl(bench->peerNamespace, "net.ipv4.icmp_echo_ignore_all", "0");
    // "1 0" admits no group to ping sockets: the raw socket answers instead.
    for (const char* range : {"1 0", "0 2147483647"}) {
        bench->sysctl(bench->cardNamespace, "net.ipv4.ping_group_range", range);
        auto echo = Bench::inNamespace(bench->cardNamespace, [&] {
            Prober prober(card);
            prober.tcpPorts.clear();
            return prober.probe(peerIP, 1.0).detail;
        });
        EXPECT_EQ(echo.substr(0, 5), "icmp ") << range << ": " << echo;
        EXPECT_EQ(echo.substr(echo.size() - 3), " ms");
    }
}

TEST_F(NamespaceTest, probeOfSilentAddressOrMissingCardFindsNothing) {
    auto card = bench->card;
    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        auto started = std::chrono::steady_clock::now();
        auto missing = Prober("en-no-such").probe(IPv4Address(10, 77, 0, 2), 1.0);
        auto quick = std::chrono::steady_clock::now() - started < std::chrono::milliseconds(500);
        Prober prober(card);
        prober.tcpPorts = {};
        auto silent = prober.probe(IPv4Address(10, 77, 0, 9), 0.3);
        return missing.detail + "|" + (quick ? "quick" : "slow") + "|" + silent.detail;
    });
    EXPECT_EQ(text, "no answer|quick|no answer");
}

TEST_F(NamespaceTest, manyProbesAtOnceCloseEverySocketWhetherAnsweredSilentOrCancelled) {
    auto card = bench->card;
    bench->sysctl(bench->peerNamespace, "net.ipv4.icmp_echo_ignore_all", "1");
    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        auto descriptors = [] {
            int count = 0;
            for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++count;
            return count;
        };
        asio::io_context loop;
        auto prober = AsyncProber::onLoop(loop, {80});
        // The loop's own descriptors (epoll, timer, wake-up) exist from its first wait on.
        asio::steady_timer warm(loop, std::chrono::milliseconds(0));
        warm.async_wait([](const asio::error_code&) {});
        loop.run();
        loop.restart();
        auto before = descriptors();

        // The peer refuses TCP; 200 other addresses have no device behind them.
        std::map<std::string, int> details;
        auto tally = [&details](ProbeResult result) { ++details[result.detail]; };
        prober->probe(card, IPv4Address(10, 77, 0, 2), 1.0, tally);
        for (std::uint8_t host = 10; host < 210; ++host) prober->probe(card, IPv4Address(10, 77, 0, host), 0.5, tally);
        auto openWhileOut = prober->openSockets();
        loop.run();
        std::string text;
        for (const auto& [detail, count] : details) text += detail + " x" + std::to_string(count) + "|";
        text += "open while out " + std::to_string(openWhileOut) + "|after " +
                (descriptors() == before && prober->openSockets() == 0 ? "closed" : "leaked");

        // Cancelled while out: no result, every socket closed, and the loop is free at once.
        int late = 0;
        for (std::uint8_t host = 10; host < 50; ++host)
            prober->probe(card, IPv4Address(10, 77, 0, host), 5.0, [&late](ProbeResult) { ++late; });
        asio::steady_timer cancel(loop, std::chrono::milliseconds(100));
        cancel.async_wait([&](const asio::error_code&) { prober->cancelAll(); });
        auto started = std::chrono::steady_clock::now();
        loop.restart();
        loop.run();
        bool quick = std::chrono::steady_clock::now() - started < std::chrono::seconds(3);
        return text + "|cancelled " + std::to_string(late) + " " + (quick ? "quick" : "slow") + " " +
               (descriptors() == before ? "closed" : "leaked");
    });
    EXPECT_EQ(text, "no answer x200|tcp 80 refused x1|open while out 202|after closed|cancelled 0 quick closed");
}

TEST_F(NamespaceTest, port67HolderIsNamedFromProc) {
    auto card = bench->card;
    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        std::string result = Preflight::port67State(card) == Port67State::available() ? "free" : "taken";
        std::string comm;
        std::ifstream("/proc/self/comm") >> comm;
        auto expected = comm + ":" + std::to_string(getpid());
        for (int family : {AF_INET, AF_INET6}) {
            int fd = socket(family, SOCK_DGRAM, 0);
            int result4 = -1;
            if (family == AF_INET) {
                sockaddr_in address{};
                address.sin_family = AF_INET;
                address.sin_port = htons(67);
                result4 = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            } else {
                int dualStack = 0;
                setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &dualStack, sizeof dualStack);
                sockaddr_in6 address{};
                address.sin6_family = AF_INET6;
                address.sin6_port = htons(67);
                result4 = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            }
            auto state = Preflight::port67State(card);
            result += "|" + std::to_string(result4) + "," +
                      (state == Port67State::inUse(expected) ? "inUse-self" : "other") + "," +
                      (Preflight::port67Holder() == expected ? "holder" : "no-holder");
            close(fd);
        }
        return result + "|" + (Preflight::port67State(card) == Port67State::available() ? "free" : "taken");
    });
    EXPECT_EQ(text, "free|0,inUse-self,holder|0,inUse-self,holder|free");
}

// Another server holding port 67 on another card only (libvirt's dnsmasq on virbr0) leaves this
// card's port free, as the server itself binds to its card.
TEST_F(NamespaceTest, port67HeldOnAnotherCardLeavesThisCardFree) {
    auto card = bench->card;
    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        std::string other = "virbr" + std::to_string(getpid() % 10000);
        if (ProcessRunner::run(ipTool, {"link", "add", other, "type", "veth", "peer", "name", other + "p"}).status != 0)
            return std::string("no second card");
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, other.c_str(), static_cast<socklen_t>(other.size()));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(67);
        std::string result = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 ? "held" : "not held";
        auto judge = [&] {
            auto onCard = Preflight::port67State(card);
            auto anyCard = Preflight::port67State("");
            return std::string("|") + (onCard == Port67State::available() ? "card free" : "card taken") + "|" +
                   (anyCard.kind == Port67State::Case::inUse ? "any taken" : "any free");
        };
        result += judge();
        // Without the right to bind port 67 (serving through the helper) the verdict is the same.
        if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
            return result + "|could not drop privileges";
        result += judge();
        close(fd);
        return result;
    });
    EXPECT_EQ(text, "held|card free|any taken|card free|any taken");
}

// A request from the bench reaches the card's port 69 naming the card's address, and the answer
// comes from a transfer socket of that address and card on a port of its own.
TEST_F(NamespaceTest, tftpRequestOnTheCardIsAnsweredFromItsAddressOnANewPort) {
    auto card = bench->card;
    auto peerNamespace = bench->peerNamespace;
    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        auto opened = openTFTPListener(card);
        if (auto failure = std::get_if<SocketFailure>(&opened)) return "listener: " + failure->description();
        auto listener = std::get<TFTPListener>(opened);
        std::string peerSaw = "peer: nothing";
        std::thread peer([&] {
            int nsFD = open(("/run/netns/" + peerNamespace).c_str(), O_RDONLY | O_CLOEXEC);
            if (nsFD < 0 || setns(nsFD, CLONE_NEWNET) != 0) return;
            close(nsFD);
            int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            const std::vector<std::uint8_t> request{0, 1, 'a', 0, 'o', 'c', 't', 'e', 't', 0};
            if (sendDatagram(fd, request, IPv4Address(10, 77, 0, 1), 69)) return;
            pollfd polled{fd, POLLIN, 0};
            if (poll(&polled, 1, 5000) == 1) {
                std::vector<std::uint8_t> buffer(largestDatagram);
                auto reply = receiveDatagram(fd, buffer);
                if (auto datagram = std::get_if<ReceivedDatagram>(&reply))
                    peerSaw = "peer: from " + datagram->source.description() +
                              (datagram->sourcePort == 69 ? " port 69" : " another port");
            }
            close(fd);
        });
        std::string result = "listener: nothing";
        pollfd polled{listener.fd, POLLIN, 0};
        std::vector<std::uint8_t> buffer(largestDatagram);
        if (poll(&polled, 1, 5000) == 1) {
            auto received = receiveDatagram(listener.fd, buffer);
            if (auto datagram = std::get_if<ReceivedDatagram>(&received); datagram && datagram->arrival) {
                result = "from " + datagram->source.description() + " to " +
                         datagram->arrival->localAddress.description() +
                         (datagram->arrival->interfaceIndex == listener.interfaceIndex ? " on the card" : " elsewhere");
                auto transfer = openTransferSocket(datagram->arrival->localAddress, card);
                if (auto socket = std::get_if<TransferSocket>(&transfer)) {
                    const std::vector<std::uint8_t> answer{0, 3, 0, 1};
                    if (auto failure = sendDatagram(socket->fd, answer, datagram->source, datagram->sourcePort))
                        result += "|" + failure->description();
                    close(socket->fd);
                } else {
                    result += "|" + std::get<SocketFailure>(transfer).description();
                }
            }
        }
        peer.join();
        close(listener.fd);
        return result + "|" + peerSaw;
    });
    EXPECT_EQ(text, "from 10.77.0.2 to 10.77.0.1 on the card|peer: from 10.77.0.1 another port");
}

// Without NetworkManager the printed fix runs whole as root and replaces an older fixed address,
// so the row passes when evaluated again.
TEST_F(NamespaceTest, linuxFixReplacesTheCardsAddressAndTheRowPasses) {
    auto card = bench->card;
    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        ServerConfig config;
        config.serverIP = IPv4Address(10, 88, 0, 1);
        config.prefixLength = 24;
        auto row = [&]() -> std::optional<PreflightCheck> {
            auto found = findCard(card);
            if (!found) return std::nullopt;
            for (const auto& check : Preflight::evaluate(Preflight::gather(*found, config)))
                if (check.id == PreflightCheck::ID::adapterConfigured) return check;
            return std::nullopt;
        };
        auto before = row();
        if (!before || !before->fix) return std::string("no fix offered");
        auto line = HostSetup::sudoLine(HostSetup::setManualCommand(*findCard(card), config.serverIP, config.mask()));
        // Run as the terminal would, without sudo (the test is root already).
        auto ran = ProcessRunner::run("/bin/sh", {"-c", line.substr(std::string("sudo ").size())});
        auto after = row();
        std::string addresses;
        auto changed = findCard(card);
        if (changed)
            for (const auto& subnet : changed->addresses) addresses += subnet.address.description() + " ";
        return before->message + "|" + line + "|" + std::to_string(ran.status) + ran.text + "|" +
               (after ? after->message : "no row") + "|" + addresses;
    });
    auto quoted = "'\\''" + card + "'\\''";
    EXPECT_EQ(text, "Card isn't set to 10.88.0.1/24|sudo sh -c 'ip -4 address flush dev " + quoted +
                        " && ip address add 10.88.0.1/24 dev " + quoted + " && ip link set " + quoted + " up'|0|" +
                        card + " is set to 10.88.0.1/24|10.88.0.1 ");
}

// A card that is the computer's way out gets no fix line, and the core refuses to set it up
// whoever asks, also with a card record from before its route came.
TEST_F(NamespaceTest, theCardWithTheDefaultRouteIsNeverSetUp) {
    auto card = bench->card;
    ASSERT_EQ(ip({"-n", bench->cardNamespace, "route", "add", "default", "via", "10.77.0.2", "dev", card}).status, 0);
    auto leases = std::filesystem::temp_directory_path() / ("anvil-route-" + std::to_string(getpid())) / "leases.json";
    auto serve = ip({"netns", "exec", bench->cardNamespace, ANVIL_DHCPANVIL_PATH, "serve", "--iface", card, "--server",
                     "10.88.0.1/24", "--range", "10.88.0.100-10.88.0.120", "--leases", leases.string()});
    EXPECT_EQ(serve.status, 1) << serve.text;
    EXPECT_NE(serve.text.find("\u2717 " + card + " is this computer's main internet connection.\n"), std::string::npos)
        << serve.text;
    EXPECT_EQ(serve.text.find("Run this"), std::string::npos) << serve.text;
    EXPECT_EQ(serve.text.find("sudo"), std::string::npos) << serve.text;
    EXPECT_NE(serve.text.find("\n\n" + card +
                              " is this computer's main internet connection: DHCP Anvil leaves its settings alone. "
                              "Choose the bench adapter instead.\n"),
              std::string::npos)
        << serve.text;

    auto text = Bench::inNamespace(bench->cardNamespace, [&] {
        auto found = findCard(card);
        if (!found) return std::string("no card");
        std::string result = found->isPrimary ? "primary" : "not primary";
        auto stale = *found;
        stale.isPrimary = false;
        for (const auto& record : {*found, stale}) {
            try {
                HostSetup::runSetupCommand(record, HostSetup::setManualCommand(record, IPv4Address(10, 88, 0, 1),
                                                                               IPv4Address(255, 255, 255, 0)));
                result += "|ran";
            } catch (const HostSetupError& error) {
                result += "|" + error.message;
            }
        }
        auto after = findCard(card);
        if (after)
            for (const auto& subnet : after->addresses) result += "|" + subnet.address.description();
        return result;
    });
    EXPECT_EQ(text, "primary|" + card +
                        " is this computer's main internet connection: DHCP Anvil leaves its settings alone. Choose "
                        "the bench adapter instead.|" +
                        card +
                        " carries a default route, the way from this computer to other networks: DHCP Anvil leaves "
                        "its settings alone. Choose the bench adapter instead.|10.77.0.1");
}

// Anyone who may make cards names them; a name with terminal sequences is printed, not obeyed.
TEST_F(NamespaceTest, aCardNamedWithTerminalSequencesIsPrintedPlain) {
    const std::string name = "en\x1b[2J\x1b[1A";
    ASSERT_EQ(ip({"-n", bench->cardNamespace, "link", "add", name, "type", "veth", "peer", "name", "anvodd"}).status, 0);
    ip({"-n", bench->cardNamespace, "link", "set", name, "up"});
    const std::string shown = "en\\x1b[2J\\x1b[1A";
    auto list = ip({"netns", "exec", bench->cardNamespace, ANVIL_DHCPANVIL_PATH, "list"});
    auto serve = ip({"netns", "exec", bench->cardNamespace, ANVIL_DHCPANVIL_PATH, "serve", "--iface", name, "--leases",
                     "/nonexistent/leases.json"});
    // Not a bench card, so `list` leaves it out; `serve` names it in its refusal.
    for (const auto& output : {list, serve}) EXPECT_EQ(output.text.find('\x1b'), std::string::npos) << output.text;
    EXPECT_NE(serve.text.find(shown), std::string::npos) << serve.text;
    EXPECT_EQ(serve.status, 1) << serve.text;
}

TEST_F(NamespaceTest, listCommandPrintsTheVethCard) {
    auto mac = bench->hardwareAddress(bench->cardNamespace, bench->card);
    auto output = ip({"netns", "exec", bench->cardNamespace, ANVIL_DHCPANVIL_PATH, "list"});
    EXPECT_EQ(output,
              (ProcessRunner::Output{0, bench->card + "  " + bench->card + "  service: " + bench->card + "  " + mac +
                                            "  \u25cf link up 10GBase-T full-duplex  10.77.0.1 (manual)\n"}));
}

TEST(InterfaceMonitorTest, failedRestartKeepsTheRunningWatch) {
#ifdef ANVIL_SANITIZED
    // The sanitizer runtimes take descriptors of their own and report on libstdc++'s thread start
    // in a forked child, so the descriptor arithmetic below only holds in a plain build.
    GTEST_SKIP() << "descriptor-limit test runs in the plain build only";
#endif
    // In a child, so that the lowered descriptor limit stays there.
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        InterfaceMonitor monitor([] {});
        monitor.start();
        int code = monitor.isWatching() ? 0 : 1;
        // The watch's two descriptors are the newest; the limit leaves room for one of them only, so
        // a restart that let go of the old watch first would get its socket but not its wake-up.
        int lowestFree = dup(2);
        close(lowestFree);
        rlimit limit{static_cast<rlim_t>(lowestFree - 1), static_cast<rlim_t>(lowestFree - 1)};
        if (code == 0 && setrlimit(RLIMIT_NOFILE, &limit) != 0) code = 2;
        if (code == 0) {
            monitor.start();
            if (!monitor.isWatching()) code = 3;
        }
        monitor.stop();
        if (code == 0 && monitor.isWatching()) code = 4;
        _exit(code);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(InterfacesBadInputTest, unknownOrUnsafeNamesGiveNoLink) {
    for (std::string name : {"en-no-such-card", "enaaaaaaaaaaaaaaaaaaaaa", "", "..", "../../../proc/self", "lo/.."})
        EXPECT_EQ(Interfaces::mediaStatus(name), Interfaces::MediaStatus{}) << name;
    EXPECT_EQ(Interfaces::bsdName(*MACAddress::parse("02:00:de:ad:be:ef")), std::nullopt);
}

}  // namespace
}  // namespace anvil
