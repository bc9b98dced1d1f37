#include <gtest/gtest.h>
#include <poll.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <sstream>
#include <thread>
#include <unordered_map>

#include "cli/serve_options.hpp"
#include "core/leases/lease_file.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "serve_process.hpp"
#include "tools/client_messages.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

const MACAddress device = *MACAddress::parse("02:de:00:00:00:01");
const IPv4Address serverIP{192, 168, 0, 1};

struct TemporaryDirectory {
    fs::path path =
        fs::temp_directory_path() / ("anvil-serve-" + std::to_string(getpid()) + "-" +
                                     std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    TemporaryDirectory() { fs::create_directories(path); }
    ~TemporaryDirectory() { fs::remove_all(path); }
};

// A simulated device on 127.0.0.1; its own port is the server's client port.
struct Device {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::uint16_t port = 0;

    Device() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~Device() { close(fd); }

    void send(std::uint16_t serverPort, const DHCPPacket& packet) const {
        auto bytes = packet.serialize();
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(serverPort);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }

    std::optional<Bytes> receive() const {
        pollfd waiting{fd, POLLIN, 0};
        if (poll(&waiting, 1, 3000) != 1) return std::nullopt;
        Bytes buffer(4096);
        auto length = recv(fd, buffer.data(), buffer.size(), 0);
        if (length < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(length));
        return buffer;
    }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);) result.push_back(line);
    return result;
}

std::vector<std::string> loopbackArguments(std::uint16_t port, std::uint16_t clientPort, const fs::path& leases) {
    return {"serve",         "--test-loopback",          "--port",   std::to_string(port),
            "--client-port", std::to_string(clientPort), "--leases", leases.string()};
}

TEST(Serve, LoopbackAnswersPrintsJSONAndSavesLeasesOnInterrupt) {
    TemporaryDirectory directory;
    auto leases = directory.path / "leases.json";
    Device phone;
    auto port = freeLoopbackPort();
    IPv4Address given;
    {
        auto arguments = loopbackArguments(port, phone.port, leases);
        arguments.push_back("--json");
        ServeProcess serve(arguments);
        ASSERT_TRUE(serve.waitForOutput(R"("event":"started")")) << serve.err();

        phone.send(port, load::discover(device, 0x100));
        auto offerBytes = phone.receive();
        ASSERT_TRUE(offerBytes);
        EXPECT_EQ(offerBytes->size(), 300u);
        auto offer = DHCPPacket::parse(*offerBytes);
        EXPECT_EQ(offer.messageType(), DHCPMessageType::offer);
        given = offer.yiaddr;
        phone.send(port, load::selectingRequest(device, 0x101, given, serverIP));
        auto ack = phone.receive();
        ASSERT_TRUE(ack);
        EXPECT_EQ(DHCPPacket::parse(*ack).messageType(), DHCPMessageType::ack);

        EXPECT_EQ(serve.interrupt(), 0);
        EXPECT_EQ(serve.err(), "");
        std::vector<std::string> kinds;
        std::vector<nlohmann::json> objects;
        for (const auto& line : lines(serve.out())) {
            auto object = nlohmann::json::parse(line, nullptr, false);
            ASSERT_FALSE(object.is_discarded()) << line;
            EXPECT_EQ(object.dump(), line);
            kinds.push_back(object["event"]);
            objects.push_back(object);
        }
        EXPECT_EQ(kinds, (std::vector<std::string>{"started", "received", "leaseChanged", "sent", "received",
                                                   "leaseChanged", "sent", "stopped"}));
        ASSERT_EQ(objects.size(), 8u);
        EXPECT_EQ(objects[0]["text"], "lo server 192.168.0.1/24 range 192.168.0.100-192.168.0.200 lease 24 h");
        EXPECT_EQ(objects[1]["type"], "DISCOVER");
        EXPECT_EQ(objects[3]["type"], "OFFER");
        EXPECT_EQ(objects[6]["type"], "ACK");
        EXPECT_EQ(objects[6]["ip"], given.description());
        EXPECT_EQ(objects[7]["label"], "STOP");
    }
    auto stored = LeaseFile(leases).load(Date{0}).table.leases();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].mac, device);
    EXPECT_EQ(stored[0].ip, given);
    EXPECT_EQ(stored[0].state, Lease::State::bound);

    // A restart shows the stored lease, and the returning device gets its address back.
    ServeProcess again(loopbackArguments(port, phone.port, leases));
    ASSERT_TRUE(again.waitForOutput("LEASE        bound " + given.description() + " " + device.description()))
        << again.out() << again.err();
    phone.send(port, load::discover(device, 0x200));
    auto offer = phone.receive();
    ASSERT_TRUE(offer);
    EXPECT_EQ(DHCPPacket::parse(*offer).yiaddr, given);
    EXPECT_TRUE(again.waitForOutput("TX OFFER"));
    // SIGTERM stops as cleanly as Ctrl-C.
    EXPECT_EQ(again.interrupt(std::chrono::seconds(5), SIGTERM), 0);
    auto text = lines(again.out());
    ASSERT_GE(text.size(), 2u);
    EXPECT_NE(text.front().find("  START        lo server 192.168.0.1/24"), std::string::npos) << text.front();
    EXPECT_EQ(text.back().substr(12), "  STOP         server stopped");
}

TEST(Serve, CorruptLeaseFileIsSetAsideWithANotice) {
    TemporaryDirectory directory;
    auto leases = directory.path / "leases.json";
    std::ofstream(leases) << "{\"version\": 1, \"leases\": [";
    Device phone;
    auto arguments = loopbackArguments(freeLoopbackPort(), phone.port, leases);
    arguments.push_back("--json");
    ServeProcess serve(arguments);
    ASSERT_TRUE(serve.waitForOutput(R"("event":"started")")) << serve.err();
    EXPECT_EQ(serve.interrupt(), 0);
    auto first = nlohmann::json::parse(lines(serve.out()).front());
    EXPECT_EQ(first["event"], "notice");
    EXPECT_EQ(
        first["text"].get<std::string>().rfind("The lease file could not be read and was moved to leases.json.", 0), 0u)
        << first.dump();
    int setAside = 0;
    for (const auto& entry : fs::directory_iterator(directory.path))
        setAside += entry.path().filename().string().starts_with("leases.json.corrupt-");
    EXPECT_EQ(setAside, 1);
    EXPECT_TRUE(LeaseFile(leases).load(Date{0}).table.leases().empty());
}

TEST(Serve, TakenPortFailsWithItsNumber) {
    TemporaryDirectory directory;
    Device holder;  // holds 127.0.0.1 at its port
    auto run = runTool(loopbackArguments(holder.port, freeLoopbackPort(), directory.path / "leases.json"));
    EXPECT_EQ(run.status, 1);
    auto prefix = "dhcpanvil: port " + std::to_string(holder.port) + " is in use by ";
    EXPECT_EQ(run.err.rfind(prefix, 0), 0u) << run.err;
    EXPECT_GT(run.err.size(), prefix.size() + 1);
    EXPECT_EQ(run.err.back(), '\n');
    EXPECT_EQ(run.out.find("START"), std::string::npos);
}

// Two serves on one lease file: the second refuses, naming the first, and changes nothing; once
// the first is killed, every lease it acknowledged loads and a new serve starts.
TEST(Serve, ASecondServeOnTheSameLeaseFileRefusesAndTheFirstKeepsItsLeases) {
    TemporaryDirectory directory;
    auto leases = directory.path / "leases.json";
    Device phone;
    auto port = freeLoopbackPort();
    std::optional<IPv4Address> acknowledged;
    {
        ServeProcess first(loopbackArguments(port, phone.port, leases));
        ASSERT_TRUE(first.waitForOutput("START")) << first.err();
        std::uint32_t xid = 0x2100;
        phone.send(port, load::discover(device, xid));
        auto offer = phone.receive();
        ASSERT_TRUE(offer);
        auto given = DHCPPacket::parse(*offer).yiaddr;
        phone.send(port, load::selectingRequest(device, xid, given, serverIP));
        auto ack = phone.receive();
        ASSERT_TRUE(ack);
        ASSERT_EQ(DHCPPacket::parse(*ack).messageType(), DHCPMessageType::ack);
        acknowledged = given;

        Device other;
        auto second = runTool(loopbackArguments(freeLoopbackPort(), other.port, leases));
        EXPECT_EQ(second.status, 1);
        EXPECT_EQ(second.err, "dhcpanvil: " + leases.string() + " is in use by another DHCP Anvil (process " +
                                  std::to_string(first.pid()) + "); stop it or use another lease file\n");
        EXPECT_EQ(second.out.find("START"), std::string::npos);
    }  // kill -9
    auto loaded = LeaseFile(leases).load(Date{0});
    auto lease = loaded.table.lease(device);
    ASSERT_TRUE(lease);
    EXPECT_EQ(lease->ip, *acknowledged);
    EXPECT_EQ(lease->state, Lease::State::bound);

    ServeProcess next(loopbackArguments(freeLoopbackPort(), phone.port, leases));
    EXPECT_TRUE(next.waitForOutput("START")) << next.err();
    EXPECT_EQ(next.interrupt(), 0);
}

TEST(Serve, LoopbackModeIgnoresTheCard) {
    TemporaryDirectory directory;
    Device phone;
    auto arguments = loopbackArguments(freeLoopbackPort(), phone.port, directory.path / "leases.json");
    arguments.insert(arguments.end(), {"--iface", "en99"});
    ServeProcess serve(arguments);
    EXPECT_TRUE(serve.waitForOutput(" lo server ")) << serve.err();
    EXPECT_EQ(serve.interrupt(), 0);
    EXPECT_EQ(serve.out().find("en99"), std::string::npos);
}

TEST(Serve, RefusesBeforePreflightOnBadConfigurationOrUnknownCard) {
    auto reversed = defaultServerConfig();
    std::swap(reversed.rangeStart, reversed.rangeEnd);
    auto errors = reversed.validate();
    ASSERT_EQ(errors.size(), 1u);

    struct Case {
        std::vector<std::string> arguments;
        std::string err;
    };
    const Case cases[] = {
        {{"serve", "--iface", "en99"}, "dhcpanvil: no network card named en99; run `dhcpanvil list`\n"},
        {{"serve", "--iface", "en99", "--range", "192.168.0.200-192.168.0.100"},
         "dhcpanvil: " + errors[0].description() + "\n"},
    };
    for (const auto& sample : cases) {
        auto run = runTool(sample.arguments);
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, sample.err);
    }
}

// kill -9 at random moments while devices come one after another: every device that got its
// ACK is in the lease file afterwards, and nothing is ever set aside.
TEST(Serve, KilledAtRandomMomentsLosesNoAcknowledgedLease) {
    TemporaryDirectory directory;
    auto leases = directory.path / "leases.json";
    Device bench;
    auto port = freeLoopbackPort();
    std::mt19937 random(static_cast<std::uint32_t>(getpid()));
    std::unordered_map<MACAddress, IPv4Address> acknowledged;
    std::uint32_t next = 0;
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        {
            ServeProcess serve(loopbackArguments(port, bench.port, leases));
            ASSERT_TRUE(serve.waitForOutput("START")) << serve.err();
            // Replies to the last request of a round before may still be waiting in the socket.
            auto replyTo = [&](std::uint32_t xid) -> std::optional<DHCPPacket> {
                while (auto bytes = bench.receive()) {
                    auto reply = DHCPPacket::parse(*bytes);
                    if (reply.xid == xid) return reply;
                }
                return std::nullopt;
            };
            int exchanges = std::uniform_int_distribution<int>(3, 30)(random);
            for (int exchange = 0; exchange <= exchanges; ++exchange) {
                MACAddress mac{
                    {0x02, 0xdf, 0, 0, static_cast<std::uint8_t>(next >> 8), static_cast<std::uint8_t>(next)}};
                auto xid = 0x10000 + 2 * ++next;
                bench.send(port, load::discover(mac, xid));
                auto offer = replyTo(xid);
                ASSERT_TRUE(offer);
                auto given = offer->yiaddr;
                bench.send(port, load::selectingRequest(mac, xid, given, serverIP));
                // The last request is still being answered when the server is killed.
                if (exchange == exchanges) break;
                auto ack = replyTo(xid);
                ASSERT_TRUE(ack);
                if (ack->messageType() == DHCPMessageType::ack) acknowledged[mac] = given;
                if (exchange % 2 == 0) bench.send(port, load::release(mac, xid + 1, given, serverIP));
                // Once, a pause long enough for a new snapshot to be written while devices come.
                if (round == 2 && exchange == 1) std::this_thread::sleep_for(std::chrono::milliseconds(2100));
            }
            std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 3000)(random)));
        }  // kill -9
        auto loaded = LeaseFile(leases).load(Date{0});
        EXPECT_FALSE(loaded.setAsideURL);
        EXPECT_FALSE(loaded.journalSetAsideURL);
        for (const auto& [mac, ip] : acknowledged) {
            auto lease = loaded.table.lease(mac);
            ASSERT_TRUE(lease) << mac.description();
            EXPECT_EQ(lease->ip, ip);
            EXPECT_NE(lease->state, Lease::State::offered);
        }
    }
}

}  // namespace
