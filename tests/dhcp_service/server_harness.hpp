#pragma once
// A CardRun driven through its seams: a fake host whose cards, links, addresses and probe
// answers the test changes while the server runs, and fake sockets that are real UDP sockets on
// 127.0.0.1 (so the server can wait on them) pretending to be bound to a card.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "core/events/event_log.hpp"
#include "core/run/card_run.hpp"
#include "core/dhcp_service/transport_error.hpp"
#include "tools/client_messages.hpp"

namespace anvil::testing {

inline IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }
inline MACAddress mac(const char* text) { return *MACAddress::parse(text); }

inline const MACAddress cardMAC = mac("02:00:00:00:00:07");

struct FakeWorld {
    std::mutex mutex;
    double now = 1'700'000'000;
    std::map<std::string, std::uint32_t> indices{{"en7", 7}};
    std::map<std::uint32_t, std::string> otherNames{{3, "wlan0"}};
    std::map<std::string, Interfaces::MediaStatus> media{{"en7", {true, "1000baseT"}}};
    std::vector<InterfaceAddress> addresses;
    std::map<std::string, std::string> namesByMAC;
    std::set<IPv4Address> silent;  // probes of these go unanswered
    // Held probes wait for the test to answer them; else they answer on the loop's next turn.
    bool holdProbes = false;
    struct HeldProbe {
        IPv4Address ip;
        ProbeResult result;
        AsyncProber::Done done;
    };
    std::deque<HeldProbe> held;
    asio::io_context* probeLoop = nullptr;
    std::uint64_t probeGeneration = 0;  // bumped by cancelAll: answers already on their way are void
    int probeCancels = 0;
    ARPEntries arp;
    int mediaReads = 0;
    std::vector<std::string> alerts;
    std::vector<IPv4Address> probed;

    // Sockets.
    bool arrivalReported = true;
    std::optional<std::uint32_t> arrivalOverride;  // else the index the socket is bound to
    // Where datagrams claim to come from: a device with no address yet, at the client port.
    IPv4Address source = IPv4Address::zero;
    std::optional<std::uint16_t> sourcePort;  // else the mode's client port
    std::deque<int> sendErrors;
    std::vector<ReplyDestination> failedSends;
    std::vector<std::size_t> sentSizes;
    std::set<std::string> failingOpens;
    int openAttempts = 0;
    // The next datagram read is instead the helper letting go of the card, with this reason.
    std::optional<std::string> relayEnding;
    std::vector<TransportMode> opened;
    std::uint16_t port = 0;
    int closes = 0;
};

class FakeTransport final : public Transport {
public:
    FakeTransport(TransportMode mode, std::shared_ptr<FakeWorld> world)
        : mode_(std::move(mode)), world_(std::move(world)) {}
    ~FakeTransport() override { close(); }

    void open() override {
        auto name = mode_.interfaceName();
        std::lock_guard lock(world_->mutex);
        ++world_->openAttempts;
        if (world_->failingOpens.contains(name)) throw TransportError("bind 0.0.0.0:67", EADDRINUSE);
        int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw TransportError("socket", errno);
        world_->port = ntohs(address.sin_port);
        auto index = world_->indices.find(name);
        index_ = index == world_->indices.end() ? 0 : index->second;
        world_->opened.push_back(mode_);
        fd_ = fd;
    }

    std::optional<Datagram> receive() override {
        Bytes buffer(2048);
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        auto count = ::recvfrom(fd_, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (count < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return std::nullopt;
            throw TransportError("recvmsg", errno);
        }
        buffer.resize(static_cast<std::size_t>(count));
        std::lock_guard lock(world_->mutex);
        if (world_->relayEnding) throw TransportEnded(*std::exchange(world_->relayEnding, std::nullopt));
        std::optional<std::uint32_t> arrival;
        if (world_->arrivalReported) arrival = world_->arrivalOverride.value_or(index_);
        return Datagram{std::move(buffer), arrival, world_->source, world_->sourcePort.value_or(mode_.clientPort())};
    }

    void send(const Bytes& bytes, const ReplyDestination& destination) override {
        std::lock_guard lock(world_->mutex);
        if (!world_->sendErrors.empty()) {
            int code = world_->sendErrors.front();
            world_->sendErrors.pop_front();
            world_->failedSends.push_back(destination);
            throw TransportError("send to " + destination.description(), code);
        }
        world_->sentSizes.push_back(bytes.size());
    }

    void close() override {
        if (fd_ < 0) return;
        ::close(fd_);
        fd_ = -1;
        std::lock_guard lock(world_->mutex);
        ++world_->closes;
    }

    int fd() const override { return fd_; }
    std::uint32_t interfaceIndex() const override { return index_; }

private:
    TransportMode mode_;
    std::shared_ptr<FakeWorld> world_;
    int fd_ = -1;
    std::uint32_t index_ = 0;
};

// Answers from the fake world, on the server's loop, as the real prober does.
class FakeProber final : public AsyncProber {
public:
    FakeProber(asio::io_context& loop, std::shared_ptr<FakeWorld> world) : world_(std::move(world)) {
        std::lock_guard lock(world_->mutex);
        world_->probeLoop = &loop;
    }

    void probe(const std::string&, IPv4Address ip, double, Done done) override {
        std::lock_guard lock(world_->mutex);
        world_->probed.push_back(ip);
        auto result = world_->silent.contains(ip) ? ProbeResult::silent() : ProbeResult{true, "echo reply"};
        if (world_->holdProbes) {
            world_->held.push_back({ip, result, std::move(done)});
            return;
        }
        answerLater(world_, std::move(done), std::move(result));
    }

    void cancelAll() override {
        std::lock_guard lock(world_->mutex);
        world_->held.clear();
        ++world_->probeGeneration;
        ++world_->probeCancels;
    }

    std::size_t openSockets() const override { return 0; }

    // Called with the world locked.
    static void answerLater(const std::shared_ptr<FakeWorld>& world, Done done, ProbeResult result) {
        asio::post(*world->probeLoop, [world, generation = world->probeGeneration, done = std::move(done),
                                       result = std::move(result)] {
            {
                std::lock_guard lock(world->mutex);
                if (generation != world->probeGeneration) return;
            }
            done(result);
        });
    }

private:
    std::shared_ptr<FakeWorld> world_;
};

inline ServerHost fakeHost(const std::shared_ptr<FakeWorld>& world) {
    ServerHost host;
    host.clock = [world] {
        std::lock_guard lock(world->mutex);
        return Date{world->now};
    };
    host.mediaStatus = [world](const std::string& name) {
        std::lock_guard lock(world->mutex);
        ++world->mediaReads;
        auto found = world->media.find(name);
        return found == world->media.end() ? Interfaces::MediaStatus{false, std::nullopt} : found->second;
    };
    host.interfaceAddresses = [world] {
        std::lock_guard lock(world->mutex);
        return world->addresses;
    };
    host.bsdName = [world](const MACAddress& card) -> std::optional<std::string> {
        std::lock_guard lock(world->mutex);
        auto found = world->namesByMAC.find(card.description());
        if (found == world->namesByMAC.end()) return std::nullopt;
        return found->second;
    };
    host.interfaceIndex = [world](const std::string& name) -> std::uint32_t {
        std::lock_guard lock(world->mutex);
        auto found = world->indices.find(name);
        return found == world->indices.end() ? 0 : found->second;
    };
    host.interfaceNameForIndex = [world](std::uint32_t index) -> std::string {
        std::lock_guard lock(world->mutex);
        for (const auto& [name, known] : world->indices)
            if (known == index) return name;
        if (auto other = world->otherNames.find(index); other != world->otherNames.end()) return other->second;
        return "interface " + std::to_string(index);
    };
    host.makeProber = [world](asio::io_context& loop) -> std::unique_ptr<AsyncProber> {
        return std::make_unique<FakeProber>(loop, world);
    };
    host.readARPTable = [world] {
        std::lock_guard lock(world->mutex);
        return world->arp;
    };
    host.triggerLocalNetworkAlert = [world](const std::string& name, IPv4Address) {
        std::lock_guard lock(world->mutex);
        world->alerts.push_back(name);
    };
    return host;
}

inline std::string describe(const ServerEvent& event) {
    if (event.is<ServerEvent::NoticeCleared>())
        return "noticeCleared " + std::string(rawValue(event.as<ServerEvent::NoticeCleared>()->kind));
    return EventLog::line(event, Date{0}, TimeZone::utc()).value_or("?");
}

inline std::string describe(const std::vector<ServerEvent>& events) {
    std::string text;
    for (const auto& event : events) text += describe(event) + "\n";
    return text;
}

inline std::vector<ServerEvent> only(const std::vector<ServerEvent>& events, std::string_view caseName) {
    std::vector<ServerEvent> matching;
    for (const auto& event : events)
        if (event.caseName() == caseName) matching.push_back(event);
    return matching;
}

// Named apart from the responder fixtures' one-day configuration: two inline functions of one name
// in one test program would be one function to the linker.
inline ServerConfig hourLeaseConfig() {
    return ServerConfig{ip("192.168.0.1"), 24, ip("192.168.0.100"), ip("192.168.0.200"), 3600, std::nullopt, {}, std::nullopt};
}

struct ServerHarness {
    std::shared_ptr<FakeWorld> world = std::make_shared<FakeWorld>();
    std::filesystem::path directory =
        std::filesystem::temp_directory_path() /
        ("anvil-server-" + std::to_string(::getpid()) + "-" + std::to_string(std::rand()));
    std::filesystem::path leasePath = directory / "leases.json";
    ServerConfig config = hourLeaseConfig();
    TransportMode mode = TransportMode::interface("en7");
    bool presenceEnabled = false;
    ServerTimers timers{0.02, 3600, 3600, 0.05};
    std::unique_ptr<CardRun> server;
    std::shared_ptr<CardRun::Events> events;
    int clientFD = -1;

    ServerHarness() {
        std::filesystem::create_directories(directory);
        clientFD = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    }
    ~ServerHarness() {
        server.reset();
        ::close(clientFD);
        std::filesystem::remove_all(directory);
    }

    LeaseFile leaseFile() const { return LeaseFile(leasePath); }

    void make() {
        CardRun::Seams seams{fakeHost(world),
                                [world = world](const TransportMode& mode) -> std::unique_ptr<Transport> {
                                    return std::make_unique<FakeTransport>(mode, world);
                                },
                                timers};
        server = std::make_unique<CardRun>(CardRun::Options{config, mode, cardMAC, leaseFile(), presenceEnabled},
                                              std::move(seams));
        events = server->events();
    }

    void start() {
        if (!server) make();
        server->start();
    }

    template <typename Change>
    void change(Change change) {
        std::lock_guard lock(world->mutex);
        change(*world);
    }

    // The next event, waiting at most a few seconds; nothing when the stream ended or time ran out.
    std::optional<ServerEvent> next() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (std::chrono::steady_clock::now() < deadline) {
            if (auto event = events->tryNext()) return event;
            if (events->isFinished()) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return std::nullopt;
    }

    // Events up to and including the first that matches; fails the test when none comes in time.
    template <typename Predicate>
    std::vector<ServerEvent> until(Predicate matches) {
        std::vector<ServerEvent> taken;
        while (auto event = next()) {
            taken.push_back(*event);
            if (matches(*event)) return taken;
        }
        ADD_FAILURE() << "no matching event; got:\n" << describe(taken);
        return taken;
    }

    std::vector<ServerEvent> untilCase(std::string_view caseName) {
        return until([caseName](const ServerEvent& event) { return event.caseName() == caseName; });
    }

    std::vector<ServerEvent> untilInfo(const std::string& text) {
        return until([&text](const ServerEvent& event) {
            auto info = event.as<ServerEvent::Info>();
            return info && info->text == text;
        });
    }

    // What the server emitted once every task queued so far has run.
    std::vector<ServerEvent> settled() {
        server->currentTable();
        std::vector<ServerEvent> taken;
        while (auto event = events->tryNext()) taken.push_back(*event);
        return taken;
    }

    void sendBytes(const Bytes& bytes) {
        std::uint16_t port;
        {
            std::lock_guard lock(world->mutex);
            port = world->port;
        }
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(clientFD, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }

    void send(const DHCPPacket& packet) { sendBytes(packet.serialize()); }

    // DISCOVER, OFFER, REQUEST, ACK for one device; the address it was given.
    IPv4Address bind(const MACAddress& device, std::uint32_t xid) {
        send(load::discover(device, xid));
        auto offer = untilCase("sent").back().as<ServerEvent::Sent>()->reply;
        EXPECT_EQ(offer.type, DHCPMessageType::offer);
        send(load::selectingRequest(device, xid + 1, offer.ip, config.serverIP));
        auto ack = untilCase("sent").back().as<ServerEvent::Sent>()->reply;
        EXPECT_EQ(ack.type, DHCPMessageType::ack);
        return ack.ip;
    }

    std::size_t heldProbes() {
        std::lock_guard lock(world->mutex);
        return world->held.size();
    }

    // Answers the oldest held probes; their results reach the server's loop.
    void answerHeld(std::size_t count) {
        std::lock_guard lock(world->mutex);
        for (; count > 0 && !world->held.empty(); --count) {
            FakeProber::answerLater(world, std::move(world->held.front().done), world->held.front().result);
            world->held.pop_front();
        }
    }

    // Answers the newest held probe of `ip`.
    void answerLatestProbeOf(IPv4Address ip) {
        std::lock_guard lock(world->mutex);
        for (auto probe = world->held.end(); probe != world->held.begin();) {
            if ((--probe)->ip != ip) continue;
            FakeProber::answerLater(world, std::move(probe->done), probe->result);
            world->held.erase(probe);
            return;
        }
    }

    LeaseTable stored() const { return leaseFile().load(Date{world->now}).table; }

    void store(std::vector<Lease> leases) { leaseFile().save(LeaseTable(std::move(leases), {})); }
};

inline Lease storedLease(const char* macText, const char* ipText, Lease::State state, double expiresAt) {
    return Lease{mac(macText), ip(ipText),   state,   Date{expiresAt}, std::nullopt,
                 std::nullopt, std::nullopt, Date{0}, Date{0}};
}

}  // namespace anvil::testing
