// The run on a card over the fake world: its three services leave with the card and come back
// through openings that take seconds without holding DHCP up, lease facts reach the watch from
// DHCP alone, and a recovery loader is served the file the user gave.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>

#include "../watch/frame_bytes.hpp"
#include "../dhcp_service/server_harness.hpp"
#include "../tftp_service/tftp_client.hpp"
#include "core/host/tftp_sockets.hpp"

using namespace anvil;
using namespace anvil::testing;
using namespace std::chrono_literals;

namespace {

const MACAddress deviceA = mac("02:aa:00:00:00:0a");
const MACAddress deviceB = mac("02:aa:00:00:00:0b");

// The helper's side of the TFTP port and the watch: each opening counted, and slow when asked.
struct SlowHelper {
    std::atomic<bool> slow = false;
    std::atomic<int> tftpOpens = 0;
    std::atomic<int> watchOpens = 0;
    std::mutex mutex;
    std::vector<std::string> cards;
    // The far end of the newest watch: frames written here reach the watch.
    int cable = -1;

    ~SlowHelper() {
        if (cable >= 0) ::close(cable);
    }

    void answer(const std::string& card) {
        if (slow) std::this_thread::sleep_for(3s);
        std::lock_guard lock(mutex);
        cards.push_back(card);
    }

    void install(ServerHost& host) {
        host.openTFTPListener = [this](const std::string& card) {
            answer(card);
            ++tftpOpens;
            return openTFTPLoopbackListener(0);
        };
        host.openFrameWatch = [this](const std::string& card) -> std::variant<FrameWatch, PrivilegeHelper::Failure> {
            answer(card);
            ++watchOpens;
            int pair[2];
            if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
                return PrivilegeHelper::Failure{"socketpair", errno};
            std::lock_guard lock(mutex);
            if (cable >= 0) ::close(cable);
            cable = pair[1];
            return FrameWatch{pair[0], 7, -1};
        };
    }

    void sendFrame(const frame_bytes::Frame& frame) {
        std::lock_guard lock(mutex);
        ::send(cable, frame.data(), frame.size(), 0);
    }
};

struct RunBench : ServerHarness {
    SlowHelper helper;
    std::filesystem::path bootFolder = directory / "boot";

    void makeRun() {
        std::filesystem::create_directories(bootFolder);
        config.boot = BootConfig{bootFolder.string(), "ipxe.efi", {}, 1468};
        CardRun::Seams seams{fakeHost(world),
                             [world = world](const TransportMode& mode) -> std::unique_ptr<Transport> {
                                 return std::make_unique<FakeTransport>(mode, world);
                             },
                             timers};
        helper.install(seams.host);
        server = std::make_unique<CardRun>(CardRun::Options{config, mode, cardMAC, leaseFile(), false, true},
                                           std::move(seams));
        events = server->events();
    }

    // Events until one matches, waiting longer than the harness does: openings here take seconds.
    template <typename Predicate>
    std::optional<ServerEvent> waitFor(Predicate matches, std::chrono::seconds limit = 15s) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            while (auto event = events->tryNext())
                if (matches(*event)) return event;
            std::this_thread::sleep_for(2ms);
        }
        return std::nullopt;
    }

    std::optional<ServerEvent> waitForInfo(const std::string& text, std::chrono::seconds limit = 15s) {
        return waitFor([&](const ServerEvent& event) {
            auto info = event.as<ServerEvent::Info>();
            return info && info->text == text;
        }, limit);
    }

    // Whether the watch knows the device, as a holder of a lease or not, within a few seconds.
    bool watchSees(const MACAddress& device, bool holdsLease) {
        for (int attempt = 0; attempt < 500; ++attempt) {
            for (const auto& neighbour : server->currentNeighbours())
                if (neighbour.mac == device && neighbour.holdsLease == holdsLease) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }
};

frame_bytes::Frame arpFrom(const MACAddress& device, const char* address) {
    return frame_bytes::arp(device, ip(address), ip(address));
}

TEST(CardRun, TheCardsServicesLeaveWithItAndComeBackWhileDHCPAnswersThroughSlowOpenings) {
    RunBench bench;
    bench.makeRun();
    bench.start();
    bench.settled();
    EXPECT_EQ(bench.helper.tftpOpens, 1);
    EXPECT_EQ(bench.helper.watchOpens, 1);

    bench.change([](FakeWorld& world) { world.indices.erase("en7"); });
    ASSERT_TRUE(bench.waitFor([](const ServerEvent& event) {
        auto raised = event.as<ServerEvent::NoticeRaised>();
        return raised && raised->notice.kind == NoticeKind::adapterUnplugged;
    }));

    // The card comes back under a new name; the helper now takes 3 s for each of TFTP and the watch.
    bench.helper.slow = true;
    bench.change([](FakeWorld& world) {
        world.indices["en8"] = 8;
        world.namesByMAC[cardMAC.description()] = "en8";
        world.media["en8"] = {true, "100baseTX"};
    });
    ASSERT_TRUE(bench.waitForInfo("en8 is back"));
    std::this_thread::sleep_for(50ms);
    auto asked = std::chrono::steady_clock::now();
    bench.send(load::discover(deviceA, 1));
    auto offered = bench.waitFor([](const ServerEvent& event) { return event.is<ServerEvent::Sent>(); }, 5s);
    auto waited = std::chrono::steady_clock::now() - asked;
    ASSERT_TRUE(offered);
    EXPECT_EQ(offered->as<ServerEvent::Sent>()->reply.interface, "en8");
    std::printf("OFFER %.1f ms after the DISCOVER, while port 69 was being opened\n",
                std::chrono::duration<double, std::milli>(waited).count());
    EXPECT_LT(waited, 100ms) << "DHCP waited for an opening of another service";
    EXPECT_LE(bench.helper.tftpOpens + bench.helper.watchOpens, 3) << "the openings overlap";

    ASSERT_TRUE(bench.waitForInfo("Watching the cable of en8 again."));
    EXPECT_EQ(bench.helper.tftpOpens, 2);
    EXPECT_EQ(bench.helper.watchOpens, 2);
    {
        std::lock_guard lock(bench.helper.mutex);
        EXPECT_EQ(bench.helper.cards, (std::vector<std::string>{"en7", "en7", "en8", "en8"}));
    }
    bench.server->stop();
}

TEST(CardRun, TheWatchLearnsWhoHoldsALeaseFromDHCPAlone) {
    RunBench bench;
    bench.store({storedLease("02:aa:00:00:00:0b", "192.168.0.121", Lease::State::bound, 1'700'000'000 + 100'000)});
    bench.makeRun();
    bench.start();
    bench.settled();

    // A device bound before the start is known as a holder; one without a lease is not.
    bench.helper.sendFrame(arpFrom(deviceB, "192.168.0.121"));
    EXPECT_TRUE(bench.watchSees(deviceB, true));
    bench.helper.sendFrame(arpFrom(deviceA, "192.168.0.130"));
    EXPECT_TRUE(bench.watchSees(deviceA, false));

    bench.bind(deviceA, 10);
    EXPECT_TRUE(bench.watchSees(deviceA, true));
    bench.server->forgetLease(deviceA);
    EXPECT_TRUE(bench.watchSees(deviceA, false));
    bench.server->stop();
}

// What a loopback client fetched of `name`, whole or not.
std::string fetchOverTFTP(std::uint16_t port, const std::string& name) {
    Client client(IPv4Address::loopback, port);
    auto fetched = client.fetch(name);
    return std::string(fetched.contents.begin(), fetched.contents.end());
}

std::string patterned(std::size_t size) {
    std::string content(size, 'x');
    for (std::size_t index = 0; index < content.size(); ++index) content[index] = static_cast<char>('a' + index % 26);
    return content;
}

std::uint16_t testTFTPPort(int offset) { return static_cast<std::uint16_t>(20000 + (::getpid() * 2 + offset) % 20000); }

// A boot folder on a slow stick: every read takes 200 ms, and DHCP answers meanwhile as fast as ever.
TEST(CardRun, SlowBootFileReadsDoNotDelayADHCPExchange) {
    ServerHarness bench;
    auto tftpPort = testTFTPPort(0);
    bench.mode = TransportMode{TransportMode::Loopback{6767, 6868, tftpPort}};
    auto folder = bench.directory / "boot";
    std::filesystem::create_directories(folder);
    auto content = patterned(1500);
    std::ofstream(folder / "slow.bin") << content;
    bench.config.boot = BootConfig{folder.string(), "slow.bin", {}, 1468};
    CardRun::Seams seams{fakeHost(bench.world),
                         [world = bench.world](const TransportMode& mode) -> std::unique_ptr<Transport> {
                             return std::make_unique<FakeTransport>(mode, world);
                         },
                         bench.timers};
    std::atomic<int> reads = 0;
    seams.bootFiles.read = [&reads](int fd, std::uint64_t offset, std::size_t length) {
        ++reads;
        std::this_thread::sleep_for(200ms);
        Bytes bytes(length);
        auto count = ::pread(fd, bytes.data(), length, static_cast<off_t>(offset));
        bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
        return bytes;
    };
    bench.server = std::make_unique<CardRun>(
        CardRun::Options{bench.config, bench.mode, std::nullopt, bench.leaseFile(), false}, std::move(seams));
    bench.events = bench.server->events();
    bench.start();
    bench.settled();

    std::string fetched;
    std::thread client([&] { fetched = fetchOverTFTP(tftpPort, "slow.bin"); });
    for (int wait = 0; wait < 200 && reads == 0; ++wait) std::this_thread::sleep_for(1ms);
    ASSERT_GT(reads, 0);
    auto asked = std::chrono::steady_clock::now();
    bench.send(load::discover(deviceA, 1));
    auto offered = bench.untilCase("sent");
    auto waited = std::chrono::steady_clock::now() - asked;
    client.join();
    ASSERT_FALSE(offered.empty());
    std::printf("OFFER %.1f ms after the DISCOVER, during a 200-ms read\n",
                std::chrono::duration<double, std::milli>(waited).count());
    EXPECT_LT(waited, 50ms) << "the OFFER waited for a boot file read";
    EXPECT_EQ(fetched, content);
    bench.server->stop();
}

// A loopback run without a boot folder: recovery serving answers a request from the given file.
TEST(CardRun, RecoveryServingAnswersWithTheGivenFileUntilStopped) {
    ServerHarness bench;
    auto tftpPort = testTFTPPort(1);
    bench.mode = TransportMode{TransportMode::Loopback{6767, 6868, tftpPort}};
    bench.start();
    bench.settled();
    auto firmware = bench.directory / "chosen.img";
    auto content = patterned(1300);
    std::ofstream(firmware) << content;

    // Requests return at once; the run takes them in order.
    bench.server->startRecoveryServing();
    bench.server->serveFileAs("firmware/loader.bin", firmware);
    bench.settled();
    auto received = fetchOverTFTP(tftpPort, "firmware/loader.bin");
    EXPECT_EQ(received, content);
    ASSERT_TRUE(bench.until([](const ServerEvent& event) { return event.is<ServerEvent::TFTPFinished>(); }).size());

    bench.server->stopRecoveryServing();
    bench.settled();
    bench.server->stop();
}

}  // namespace
