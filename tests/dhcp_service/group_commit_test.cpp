// The server decides a burst of datagrams, saves the lease file once, and only then answers:
// checked through a transport that reads the lease file at the moment each reply is sent.
#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "core/leases/lease_file.hpp"
#include "core/dhcp/option_code.hpp"
#include "core/run/card_run.hpp"
#include "core/dhcp_service/lease_store.hpp"

namespace anvil {
namespace {

using namespace std::chrono_literals;

struct SentReply {
    DHCPPacket packet;
    ReplyDestination destination;
    // What the lease file held for the reply's device when the reply left, as "state ip".
    std::string storedLease;
    ino_t fileInode = 0;
};

// Datagrams are handed in by the test, replies are recorded with the lease file as it was then.
class FileCheckingTransport final : public Transport {
public:
    FileCheckingTransport(std::filesystem::path leasePath, std::uint32_t index)
        : leasePath_(std::move(leasePath)), index_(index) {}
    ~FileCheckingTransport() override { close(); }

    void open() override { fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }
    void close() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    int fd() const override { return fd_; }
    std::uint32_t interfaceIndex() const override { return index_; }

    // All of `datagrams` are waiting before the server hears of any of them.
    void deliver(std::vector<Datagram> datagrams) {
        std::lock_guard lock(mutex_);
        for (auto& datagram : datagrams) waiting_.push_back(std::move(datagram));
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(fd_, &one, sizeof one);
    }

    std::optional<Datagram> receive() override {
        std::lock_guard lock(mutex_);
        if (waiting_.empty()) {
            std::uint64_t count;
            [[maybe_unused]] auto drained = ::read(fd_, &count, sizeof count);
            return std::nullopt;
        }
        auto datagram = std::move(waiting_.front());
        waiting_.pop_front();
        return datagram;
    }

    void send(const Bytes& bytes, const ReplyDestination& destination) override {
        SentReply sent{DHCPPacket::parse(bytes), destination, "none", 0};
        struct stat status {};
        if (::stat(leasePath_.c_str(), &status) == 0) sent.fileInode = status.st_ino;
        try {
            auto table = LeaseFile(leasePath_).load(Date{0}).table;
            if (auto lease = table.lease(sent.packet.mac().value_or(MACAddress{})))
                sent.storedLease = std::string(rawValue(lease->state)) + " " + lease->ip.description();
        } catch (const std::exception& error) {
            sent.storedLease = error.what();
        }
        std::lock_guard lock(mutex_);
        sent_.push_back(std::move(sent));
    }

    std::vector<SentReply> waitForReplies(std::size_t count) {
        for (int attempt = 0; attempt < 500; ++attempt) {
            {
                std::lock_guard lock(mutex_);
                if (sent_.size() >= count) return sent_;
            }
            std::this_thread::sleep_for(10ms);
        }
        std::lock_guard lock(mutex_);
        return sent_;
    }

private:
    std::filesystem::path leasePath_;
    std::uint32_t index_;
    int fd_ = -1;
    std::mutex mutex_;
    std::deque<Datagram> waiting_;
    std::vector<SentReply> sent_;
};

MACAddress device(int index) { return MACAddress{{0x02, 0, 0, 0, 0, static_cast<std::uint8_t>(index)}}; }

// Sent from the client port: 68 on a card, the test client port 6868 in loopback mode.
Datagram clientDatagram(int index, DHCPMessageType type, std::optional<IPv4Address> requested,
                        std::uint32_t arrivedOn = 3, std::uint16_t sourcePort = 68) {
    DHCPPacket packet;
    packet.xid = 0x1000 + static_cast<std::uint32_t>(index);
    auto mac = device(index);
    std::copy(mac.bytes.begin(), mac.bytes.end(), packet.chaddr.begin());
    packet.setOption(OptionCode::messageType, {rawValue(type)});
    if (requested) {
        packet.setOption(OptionCode::requestedIP, requested->bytes());
        packet.setOption(OptionCode::serverID, IPv4Address(10, 5, 0, 1).bytes());
    }
    return Datagram{packet.serialize(DHCPPacket::minimumReplyLength), arrivedOn, IPv4Address::zero, sourcePort};
}

struct ServerBench {
    static std::filesystem::path defaultFolder() {
        return std::filesystem::temp_directory_path() / ("anvil-group-commit-" + std::to_string(::getpid()));
    }
    std::filesystem::path folder = defaultFolder();
    FileCheckingTransport* transport = nullptr;
    std::unique_ptr<CardRun> server;

    explicit ServerBench(TransportMode mode, LeaseStore::Seams store = {}) {
        std::filesystem::create_directories(folder);
        ServerConfig config{IPv4Address(10, 5, 0, 1),
                            24,
                            IPv4Address(10, 5, 0, 100),
                            IPv4Address(10, 5, 0, 199),
                            3600,
                            std::nullopt,
                            {},
                            std::nullopt};
        CardRun::Seams seams;
        seams.leaseStore = std::move(store);
        seams.host.clock = [] { return Date{1'700'000'000}; };
        seams.host.mediaStatus = [](const std::string&) { return Interfaces::MediaStatus{true, "test"}; };
        seams.host.interfaceIndex = [](const std::string&) { return 3u; };
        seams.host.interfaceNameForIndex = [](std::uint32_t index) { return "en" + std::to_string(index); };
        seams.host.triggerLocalNetworkAlert = [](const std::string&, IPv4Address) {};
        seams.host.interfaceAddresses = [] { return std::vector<InterfaceAddress>{}; };
        auto path = folder / "leases.json";
        seams.transportFactory = [this, path](const TransportMode&) {
            auto made = std::make_unique<FileCheckingTransport>(path, 3);
            transport = made.get();
            return made;
        };
        server = std::make_unique<CardRun>(CardRun::Options{config, mode, std::nullopt, LeaseFile(path), false},
                                              std::move(seams));
        server->start();
    }
    ~ServerBench() {
        server->stop();
        server.reset();
        std::filesystem::remove_all(folder);
    }
};

// Counts the journal's fdatasyncs; outlives the server that is given its seams.
struct JournalFlushCounter {
    std::atomic<int> flushes{0};
    LeaseStore::Seams seams(const std::filesystem::path& folder) {
        // A journal keeps the name it was made under: the next journal's, once compacted.
        LeaseFile file(folder / "leases.json");
        LeaseStore::Seams store;
        store.journal.flushed = [this, file](const std::filesystem::path& url) {
            if (url == file.journalURL() || url == file.nextJournalURL()) ++flushes;
        };
        return store;
    }
};

TEST(GroupCommit, everyAckLeavesOnlyAfterTheSaveThatHoldsItsLease) {
    JournalFlushCounter counter;
    ServerBench bench(TransportMode::loopback(6767, 6868), counter.seams(ServerBench::defaultFolder()));
    constexpr int devices = 8;

    std::vector<Datagram> discovers;
    for (int index = 0; index < devices; ++index)
        discovers.push_back(clientDatagram(index, DHCPMessageType::discover, std::nullopt, 3, 6868));
    bench.transport->deliver(std::move(discovers));
    auto offers = bench.transport->waitForReplies(devices);
    ASSERT_EQ(offers.size(), std::size_t(devices));

    std::vector<Datagram> requests;
    for (int index = 0; index < devices; ++index)
        requests.push_back(clientDatagram(index, DHCPMessageType::request, offers[index].packet.yiaddr, 3, 6868));
    // A plain BOOTP request in the same burst: its reply binds the address as an ACK does.
    auto bootRequest = DHCPPacket::parse(clientDatagram(devices, DHCPMessageType::discover, std::nullopt).bytes);
    bootRequest.options.clear();
    requests.push_back({bootRequest.serialize(DHCPPacket::minimumReplyLength), 3, IPv4Address::zero, 6868});
    int flushesBefore = counter.flushes;
    bench.transport->deliver(std::move(requests));
    auto sent = bench.transport->waitForReplies(2 * devices + 1);
    ASSERT_EQ(sent.size(), std::size_t(2 * devices + 1));
    // The burst of requests was covered by one flush of the journal.
    EXPECT_EQ(counter.flushes - flushesBefore, 1);

    std::set<ino_t> filesSeenByAcks;
    for (int index = 0; index < devices; ++index) {
        const auto& offer = sent[index];
        const auto& ack = sent[devices + index];
        // Replies leave in the order the datagrams were decided.
        EXPECT_EQ(offer.packet.xid, 0x1000u + index);
        EXPECT_EQ(ack.packet.xid, 0x1000u + index);
        EXPECT_EQ(ack.packet.messageType(), DHCPMessageType::ack);
        EXPECT_EQ(ack.storedLease, "bound " + ack.packet.yiaddr.description()) << index;
        filesSeenByAcks.insert(ack.fileInode);
    }
    EXPECT_EQ(sent.back().packet.messageType(), std::nullopt);
    EXPECT_EQ(sent.back().storedLease, "bound " + sent.back().packet.yiaddr.description());
    // Saves go to the journal: leases.json was not rewritten under the burst.
    EXPECT_EQ(filesSeenByAcks.size(), 1u);
}

// Holds the journal's flushes once armed, until released; outlives the server given its seams.
struct JournalFlushGate {
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false, released = false;
    int held = 0;
    LeaseStore::Seams seams() {
        LeaseStore::Seams store;
        store.journal.flushed = [this](const std::filesystem::path&) {
            std::unique_lock lock(mutex);
            if (!armed) return;
            ++held;
            changed.notify_all();
            changed.wait(lock, [this] { return released; });
        };
        return store;
    }
    bool waitUntilHeld() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 5s, [this] { return held > 0; });
    }
    void release() {
        std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }
};

TEST(GroupCommit, anAckToAnInformLeavesWhileAnotherDevicesSaveIsStillUnderWay) {
    JournalFlushGate gate;
    ServerBench bench(TransportMode::loopback(6767, 6868), gate.seams());
    // Released before the server stops, whatever the test found.
    struct Release {
        JournalFlushGate& gate;
        ~Release() { gate.release(); }
    } release{gate};
    {
        std::lock_guard lock(gate.mutex);
        gate.armed = true;
    }
    bench.transport->deliver({clientDatagram(1, DHCPMessageType::request, IPv4Address(10, 5, 0, 120), 3, 6868)});
    ASSERT_TRUE(gate.waitUntilHeld());

    DHCPPacket inform;
    inform.xid = 0x2002;
    auto mac = device(2);
    std::copy(mac.bytes.begin(), mac.bytes.end(), inform.chaddr.begin());
    inform.ciaddr = IPv4Address(10, 5, 0, 50);
    inform.setOption(OptionCode::messageType, {rawValue(DHCPMessageType::inform)});
    bench.transport->deliver(
        {Datagram{inform.serialize(DHCPPacket::minimumReplyLength), 3u, IPv4Address(10, 5, 0, 50), 6868}});
    auto sent = bench.transport->waitForReplies(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].packet.xid, 0x2002u);
    EXPECT_EQ(sent[0].packet.messageType(), DHCPMessageType::ack);

    gate.release();
    sent = bench.transport->waitForReplies(2);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].packet.xid, 0x1001u);
    EXPECT_EQ(sent[1].storedLease, "bound 10.5.0.120");
}

TEST(GroupCommit, datagramFromAnotherInterfaceIsDroppedWithoutAnswer) {
    // A socket bound to one card does not hear other cards, so the check is driven here.
    ServerBench bench(TransportMode::interface("en3"));
    bench.transport->deliver({clientDatagram(1, DHCPMessageType::discover, std::nullopt, 9),
                              clientDatagram(2, DHCPMessageType::discover, std::nullopt, 3)});
    auto sent = bench.transport->waitForReplies(1);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].packet.mac(), device(2));

    auto events = bench.server->events();
    std::vector<std::string> dropped;
    int received = 0;
    while (auto event = events->tryNext()) {
        if (auto drop = event->as<ServerEvent::Dropped>()) dropped.push_back(drop->reason);
        if (event->is<ServerEvent::Received>()) ++received;
    }
    EXPECT_EQ(dropped, std::vector<std::string>{"arrived on en9 instead of en3"});
    EXPECT_EQ(received, 1);
}

}  // namespace
}  // namespace anvil
