// The cable watch on a loop of the test's own, fed frames through a socket pair in place of the
// packet socket: what the user is told, and what stays bounded when a device misbehaves.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <asio.hpp>
#include <algorithm>
#include <map>
#include <unordered_map>
#include <optional>
#include <string>
#include <vector>

#include "core/watch/neighbour_book.hpp"
#include "core/watch_service/cable_watch.hpp"

namespace anvil {
namespace {

using Frame = std::vector<std::uint8_t>;

MACAddress macOf(std::uint8_t last) { return MACAddress{{0x02, 0x00, 0x5e, 0x10, 0x20, last}}; }

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }

void put(Frame& frame, std::uint32_t value, int bytes) {
    for (int shift = (bytes - 1) * 8; shift >= 0; shift -= 8) frame.push_back(static_cast<std::uint8_t>(value >> shift));
}

Frame arp(std::uint8_t device, bool request, IPv4Address sender, IPv4Address target) {
    Frame frame(6, 0xff);
    auto mac = macOf(device).bytes;
    frame.insert(frame.end(), mac.begin(), mac.end());
    put(frame, 0x0806, 2);
    put(frame, 1, 2);
    put(frame, 0x0800, 2);
    frame.push_back(6);
    frame.push_back(4);
    put(frame, request ? 1 : 2, 2);
    frame.insert(frame.end(), mac.begin(), mac.end());
    put(frame, sender.value, 4);
    frame.insert(frame.end(), 6, 0);
    put(frame, target.value, 4);
    frame.resize(60, 0);
    return frame;
}

Frame announce(std::uint8_t device, const char* address) { return arp(device, true, ip(address), ip(address)); }
Frame whoHas(std::uint8_t device, const char* sender, const char* target) {
    return arp(device, true, ip(sender), ip(target));
}

struct Heard {
    std::vector<ServerEvent> events;
    std::map<NoticeKind, std::optional<MACAddress>> notices;  // raised (naming a device) or cleared (none)
    int raises = 0;

    std::vector<std::pair<NeighbourChange, MACAddress>> changes() const {
        std::vector<std::pair<NeighbourChange, MACAddress>> found;
        for (const auto& event : events)
            if (auto neighbour = event.as<ServerEvent::Neighbour>()) found.emplace_back(neighbour->change, neighbour->device.mac);
        return found;
    }
    int infos() const {
        int count = 0;
        for (const auto& event : events) count += event.as<ServerEvent::Info>() ? 1 : 0;
        return count;
    }
};

struct Bench {
    asio::io_context loop;
    int pair[2] = {-1, -1};
    Heard heard;
    Date now{1'800'000'000};
    std::optional<PrivilegeHelper::Failure> refuse;
    std::unique_ptr<CableWatch> watch;

    Bench() {
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair), 0);
        CableWatch::Callbacks callbacks;
        callbacks.emit = [this](ServerEvent event) { heard.events.push_back(std::move(event)); };
        callbacks.raise = [this](Notice notice) {
            heard.notices[notice.kind] = notice.neighbour;
            ++heard.raises;
        };
        callbacks.clear = [this](NoticeKind kind) { heard.notices[kind] = std::nullopt; };
        callbacks.facts = [] {
            CableFacts facts;
            facts.served = Subnet::make(ip("192.168.50.1"), 24);
            facts.cardAddresses = {ip("192.168.50.1")};
            return facts;
        };
        callbacks.clock = [this] { return now; };
        callbacks.ownMAC = [] { return std::optional<MACAddress>(macOf(0xee)); };
        CableWatch::Seams seams;
        seams.open = [this](const std::string&) -> std::variant<FrameWatch, PrivilegeHelper::Failure> {
            if (refuse) return *refuse;
            return FrameWatch{std::exchange(pair[0], -1), 7, -1};
        };
        seams.expireEverySeconds = 0.01;
        seams.reviewEverySeconds = 0.01;
        watch = std::make_unique<CableWatch>(loop, "bench0", std::move(callbacks), std::move(seams));
    }
    ~Bench() {
        watch.reset();
        for (int fd : pair)
            if (fd >= 0) ::close(fd);
    }

    // Sends what fits, letting the watch read between bursts.
    void send(const std::vector<Frame>& frames) {
        for (const auto& frame : frames) {
            for (int attempt = 0; attempt < 1000; ++attempt) {
                if (::send(pair[1], frame.data(), frame.size(), 0) >= 0) break;
                loop.restart();
                loop.run_for(std::chrono::milliseconds(1));
            }
        }
        settle();
    }
    void settle() {
        for (int round = 0; round < 50; ++round) {
            loop.restart();
            loop.poll();
            loop.run_for(std::chrono::milliseconds(2));
        }
    }
};

TEST(CableWatch, tellsOfDevicesAndAdvisesOncePerKind) {
    struct Case {
        const char* name;
        std::vector<Frame> frames;
        std::vector<std::pair<NeighbourChange, MACAddress>> changes;
        std::map<NoticeKind, std::optional<MACAddress>> notices;
    };
    std::vector<Case> cases = {
        {"a fixed-address device",
         {announce(1, "192.168.1.1"), announce(1, "192.168.1.1"), announce(1, "192.168.1.1")},
         {{NeighbourChange::seen, macOf(1)}},
         {{NoticeKind::deviceNotAsking, macOf(1)}}},
        {"a loader asking three times for an address nobody holds",
         {whoHas(2, "192.168.0.86", "192.168.0.66"), whoHas(2, "192.168.0.86", "192.168.0.66"),
          whoHas(2, "192.168.0.86", "192.168.0.66")},
         {{NeighbourChange::seen, macOf(2)}, {NeighbourChange::changed, macOf(2)}},
         {{NoticeKind::recoveryLoader, macOf(2)}, {NoticeKind::deviceNotAsking, std::nullopt}}},
        {"a device in the served subnet",
         {announce(3, "192.168.50.20")},
         {{NeighbourChange::seen, macOf(3)}},
         {}},
        {"this computer's own frames",
         {announce(0xee, "192.168.1.9")},
         {},
         {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        Bench bench;
        ASSERT_TRUE(bench.watch->start());
        bench.send(test.frames);
        EXPECT_EQ(bench.heard.changes(), test.changes);
        for (const auto& [kind, device] : test.notices) EXPECT_EQ(bench.heard.notices[kind], device);
        if (test.notices.empty()) {
            EXPECT_EQ(bench.heard.raises, 0);
        }
    }
}

TEST(CableWatch, aLeaseEndsTheAdviceAndQuietDevicesGo) {
    Bench bench;
    ASSERT_TRUE(bench.watch->start());
    bench.send({announce(1, "192.168.1.1")});
    ASSERT_EQ(bench.heard.notices[NoticeKind::deviceNotAsking], macOf(1));

    bench.watch->leaseChanged(macOf(1), true);
    EXPECT_EQ(bench.heard.changes().back(), std::make_pair(NeighbourChange::changed, macOf(1)));
    EXPECT_EQ(bench.heard.notices[NoticeKind::deviceNotAsking], std::nullopt);

    bench.send({announce(4, "10.0.0.1")});
    ASSERT_EQ(bench.heard.notices[NoticeKind::deviceNotAsking], macOf(4));
    bench.now = bench.now.addingSeconds(NeighbourBook::quietSeconds + 1);
    bench.settle();
    auto changes = bench.heard.changes();
    EXPECT_EQ(std::count(changes.begin(), changes.end(), std::make_pair(NeighbourChange::gone, macOf(1))), 1);
    EXPECT_EQ(std::count(changes.begin(), changes.end(), std::make_pair(NeighbourChange::gone, macOf(4))), 1);
    EXPECT_EQ(bench.heard.notices[NoticeKind::deviceNotAsking], std::nullopt);
    EXPECT_TRUE(bench.watch->neighbours().empty());
}

TEST(CableWatch, aHostileCableCannotFloodTheLogOrTheBook) {
    Bench bench;
    ASSERT_TRUE(bench.watch->start());
    std::vector<Frame> garbage;
    for (int index = 0; index < 2000; ++index) {
        Frame frame = arp(static_cast<std::uint8_t>(index), true, ip("10.0.0.1"), ip("10.0.0.2"));
        frame.resize(static_cast<std::size_t>(index % 40 + 1));  // cut inside the headers
        if (index % 3 == 0) frame = Frame(1600, static_cast<std::uint8_t>(index));
        garbage.push_back(frame);
    }
    bench.send(garbage);
    EXPECT_TRUE(bench.heard.events.empty());
    EXPECT_EQ(bench.heard.raises, 0);
    EXPECT_TRUE(bench.watch->isWatching());

    std::vector<Frame> crowd;
    for (int index = 0; index < 600; ++index) {
        auto frame = announce(0, "10.1.0.1");
        frame[10] = static_cast<std::uint8_t>(index >> 8);
        frame[11] = static_cast<std::uint8_t>(index);
        crowd.push_back(frame);
    }
    bench.send(crowd);
    EXPECT_LE(bench.watch->neighbours().size(), NeighbourBook::capacity);
}

TEST(CableWatch, saysOnceWhyItIsOffOrEnded) {
    {
        Bench bench;
        bench.refuse = PrivilegeHelper::Failure{"the helper may not open a packet socket", EPERM};
        EXPECT_FALSE(bench.watch->start());
        bench.settle();
        ASSERT_EQ(bench.heard.infos(), 1);
        EXPECT_NE(bench.heard.events[0].as<ServerEvent::Info>()->text.find("bench0"), std::string::npos);
        EXPECT_FALSE(bench.watch->isWatching());
    }
    {
        Bench bench;
        ASSERT_TRUE(bench.watch->start());
        ::close(std::exchange(bench.pair[1], -1));
        bench.settle();
        EXPECT_EQ(bench.heard.infos(), 1);
        EXPECT_FALSE(bench.watch->isWatching());
    }
}

}  // namespace
}  // namespace anvil
