// A serving process killed at each step of a compaction under traffic: every lease its clients
// were ACKed loads afterwards, bound at the address they were given.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include "core/events/event_log.hpp"
#include "core/leases/lease_file.hpp"
#include "core/leases/lease_journal.hpp"
#include "core/leases/lease_table.hpp"
#include "core/run/card_run.hpp"
#include "serve_process.hpp"
#include "tools/client_messages.hpp"
#include "tools/loopback_client.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

// Serves on loopback ports in this (forked) process, as `dhcpanvil serve --test-loopback` does,
// until the compaction after its start reaches `step`; it then says so on `told` and is killed.
// Never returns.
[[noreturn]] void serveUntil(CompactionStep step, int told, const fs::path& leases, std::uint16_t port,
                             std::uint16_t clientPort) {
    int output = ::open((leases.parent_path() / "serve.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(output, 1);
    dup2(output, 2);
    CardRun::Seams seams;
    // Opening the journal compacts once; the one to stop in comes with the traffic.
    static std::atomic<int> reached{0};
    seams.leaseStore.journal.stepReached = [step, told](CompactionStep now) {
        if (now != step || ++reached < 2) return;
        char byte = 1;
        [[maybe_unused]] auto written = ::write(told, &byte, 1);
        ::kill(::getpid(), SIGKILL);
    };
    // Time passes 1000 times faster for the compaction rules: the 30-s lag bound forces a
    // compaction every 30 ms while the clients keep the journal busy.
    auto start = std::chrono::steady_clock::now();
    seams.leaseStore.clock = [start] { return start + (std::chrono::steady_clock::now() - start) * 1000; };
    // Room for every device of the run, so that none needs a reclaim.
    ServerConfig config = defaultServerConfig();
    config.serverIP = IPv4Address(10, 5, 0, 1);
    config.prefixLength = 16;
    config.rangeStart = IPv4Address(10, 5, 1, 0);
    config.rangeEnd = IPv4Address(10, 5, 8, 255);
    CardRun server(CardRun::Options{config, TransportMode::loopback(port, clientPort), std::nullopt,
                                       LeaseFile(leases), false, false},
                   std::move(seams));
    try {
        server.start();
        // Until the kill; the lines are what the test shows when the step never came.
        auto events = server.events();
        for (auto batch = events->takeAll(); !batch.empty(); batch = events->takeAll()) {
            for (const auto& event : batch)
                if (auto line = EventLog::line(event, Date{double(time(nullptr))})) std::printf("%s\n", line->c_str());
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
    }
    _exit(3);
}

// The process has ended; it is left to be waited for.
bool hasEnded(pid_t process) {
    siginfo_t info{};
    return waitid(P_PID, static_cast<id_t>(process), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == process;
}

MACAddress deviceMAC(int index) {
    return MACAddress{{0x02, 0xCC, 0, 0, static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index)}};
}

// Devices, eight at a time, each new, until the server stops answering for good; every ACK is
// recorded. Bounded by the number of devices.
std::map<std::string, IPv4Address> bringUpDevicesUntilDeath(std::uint16_t port, std::uint16_t clientPort,
                                                            pid_t server) {
    constexpr int slots = 8;
    constexpr int mostDevices = 1800;  // of the range's 2,048 addresses
    struct Slot {
        int device = -1;
        DHCPPacket sent;
    };
    load::LoopbackClient client(port, clientPort);
    std::map<std::string, IPv4Address> acked;
    Slot inFlight[slots];
    int started = 0;
    auto begin = [&](int slot) {
        if (started == mostDevices) {
            inFlight[slot].device = -1;
            return;
        }
        inFlight[slot].device = started;
        inFlight[slot].sent = load::discover(deviceMAC(started), (std::uint32_t(slot) << 16) | std::uint32_t(started));
        ++started;
        client.send(inFlight[slot].sent);
    };
    for (int slot = 0; slot < slots; ++slot) begin(slot);
    int silences = 0;
    for (int turn = 0; turn < 20 * mostDevices && silences < 50; ++turn) {
        auto reply = client.receive(std::chrono::milliseconds(100));
        if (!reply) {
            ++silences;
            if (hasEnded(server)) break;
            for (auto& slot : inFlight)
                if (slot.device >= 0) client.send(slot.sent);
            continue;
        }
        silences = 0;
        auto slot = static_cast<int>(reply->xid >> 16);
        if (slot >= slots || inFlight[slot].device < 0 || reply->xid != inFlight[slot].sent.xid) continue;
        auto mac = deviceMAC(inFlight[slot].device);
        if (reply->messageType() == DHCPMessageType::offer &&
            inFlight[slot].sent.messageType() == DHCPMessageType::discover) {
            inFlight[slot].sent = load::selectingRequest(mac, reply->xid, reply->yiaddr, IPv4Address(10, 5, 0, 1));
            client.send(inFlight[slot].sent);
        } else if (reply->messageType() == DHCPMessageType::ack) {
            acked[mac.description()] = reply->yiaddr;
            begin(slot);
        } else if (reply->messageType() == DHCPMessageType::nak) {
            begin(slot);
        }
    }
    return acked;
}

void killAtStepThenLoad(CompactionStep step) {
    fs::path folder = fs::temp_directory_path() /
                      ("anvil-compaction-kill-" + std::to_string(getpid()) + "-" + std::to_string(int(step)));
    fs::remove_all(folder);
    fs::create_directories(folder);
    auto leases = folder / "leases.json";
    auto port = freeLoopbackPort();
    auto clientPort = freeLoopbackPort();
    int told[2];
    ASSERT_EQ(pipe2(told, O_CLOEXEC | O_NONBLOCK), 0);

    pid_t server = fork();
    ASSERT_GE(server, 0);
    if (server == 0) {
        close(told[0]);
        serveUntil(step, told[1], leases, port, clientPort);
    }
    close(told[1]);
    auto acked = bringUpDevicesUntilDeath(port, clientPort, server);
    if (!hasEnded(server)) kill(server, SIGKILL);
    int status = 0;
    waitpid(server, &status, 0);
    char byte = 0;
    bool reachedStep = read(told[0], &byte, 1) == 1;
    close(told[0]);
    auto output = readWhole((folder / "serve.out").string());
    ASSERT_TRUE(reachedStep) << "the server never reached the step; it said: " << output;
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << output;
    EXPECT_GE(acked.size(), 8u) << "the kill came under traffic";

    LeaseTable table;
    try {
        table = LeaseFile(leases).load(Date{double(time(nullptr))}, LeaseFile::Undecodable::refuse).table;
    } catch (const std::exception& error) {
        FAIL() << error.what();
    }
    int missing = 0;
    for (const auto& [mac, ip] : acked) {
        auto lease = table.lease(*MACAddress::parse(mac));
        bool kept = lease && lease->state == Lease::State::bound && lease->ip == ip;
        if (!kept && ++missing <= 3) ADD_FAILURE() << mac << " was ACKed " << ip.description();
    }
    EXPECT_EQ(missing, 0) << "of " << acked.size() << " ACKed";
    if (!::testing::Test::HasFailure()) fs::remove_all(folder);
}

TEST(CompactionKill, everyAckedLeaseLoadsAfterAKillAtEachStepOfACompaction) {
    for (auto step :
         {CompactionStep::snapshotWritten, CompactionStep::nextJournalCreated, CompactionStep::journalSwitched,
          CompactionStep::snapshotReplaced, CompactionStep::journalReplaced}) {
        SCOPED_TRACE("killed at step " + std::to_string(static_cast<int>(step)) + " of 0-4");
        killAtStepThenLoad(step);
    }
}

}  // namespace
