// The cable watch's own packet socket, opened as root in a throwaway namespace: which frames its
// filter lets through, and what each read returns.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/host/frame_watch.hpp"
#include "core/host/process_runner.hpp"

namespace anvil {
namespace {

ProcessRunner::Output ip(const std::vector<std::string>& arguments) {
    return ProcessRunner::run("/usr/sbin/ip", arguments);
}

// One namespace holding both ends of a veth pair: en0, the watched card, and peer0.
struct CableNamespace {
    std::string name = "anvil-watch-" + std::to_string(::getpid());
    std::string error;
    CableNamespace() {
        for (const auto& step : std::vector<std::vector<std::string>>{
                 {"netns", "add", name},
                 {"-n", name, "link", "add", "en0", "type", "veth", "peer", "name", "peer0"},
                 {"-n", name, "link", "set", "en0", "up"},
                 {"-n", name, "link", "set", "peer0", "up"}}) {
            auto output = ip(step);
            if (output.status != 0 && error.empty()) error = output.text;
        }
    }
    ~CableNamespace() { ip({"netns", "delete", name}); }

    // Runs `work` on a thread inside the namespace, with a /sys that shows its cards.
    void inside(const std::function<void()>& work) const {
        std::thread([&] {
            int fd = ::open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::setns(fd, CLONE_NEWNET), 0);
            ::close(fd);
            ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
            ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_SLAVE, nullptr), 0);
            ::umount2("/sys", MNT_DETACH);
            ASSERT_EQ(::mount("sysfs", "/sys", "sysfs", 0, nullptr), 0);
            work();
        }).join();
    }
};

using Frame = std::vector<std::uint8_t>;

// A broadcast frame of `type` whose last byte is `tag`, so that what arrives can be told apart.
Frame frame(std::uint16_t type, std::vector<std::uint8_t> payload, std::uint8_t tag) {
    Frame bytes(12, 0xff);
    bytes[6] = 0x02;  // a local source address
    bytes.push_back(static_cast<std::uint8_t>(type >> 8));
    bytes.push_back(static_cast<std::uint8_t>(type));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.resize(std::max<std::size_t>(bytes.size() + 1, 64), 0);
    bytes.back() = tag;
    return bytes;
}

// An IPv4 header of `headerWords` words and the first four bytes of a UDP or TCP header.
std::vector<std::uint8_t> ipv4(std::uint8_t protocol, std::uint16_t port, std::uint16_t fragment = 0,
                               std::uint8_t headerWords = 5, std::uint16_t decoyPort = 0) {
    std::vector<std::uint8_t> bytes(headerWords * 4u, 0);
    bytes[0] = static_cast<std::uint8_t>(0x40 | headerWords);
    bytes[6] = static_cast<std::uint8_t>(fragment >> 8);
    bytes[7] = static_cast<std::uint8_t>(fragment);
    bytes[8] = 64;
    bytes[9] = protocol;
    // Where the port would sit if the header had no options.
    if (headerWords > 5) {
        bytes[22] = static_cast<std::uint8_t>(decoyPort >> 8);
        bytes[23] = static_cast<std::uint8_t>(decoyPort);
    }
    for (std::uint8_t byte : {0x04, 0x00, static_cast<int>(port >> 8), static_cast<int>(port & 0xff)})
        bytes.push_back(static_cast<std::uint8_t>(byte));
    bytes.resize(bytes.size() + 12, 0);
    return bytes;
}

// A VLAN tag (VLAN 5) followed by the inner type and payload.
std::vector<std::uint8_t> vlanTagged(std::uint16_t type, std::vector<std::uint8_t> payload) {
    std::vector<std::uint8_t> bytes{0x00, 0x05, static_cast<std::uint8_t>(type >> 8), static_cast<std::uint8_t>(type)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    return bytes;
}

bool send(int fd, const std::string& card, const Frame& bytes) {
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(::if_nametoindex(card.c_str()));
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xff, 6);
    return ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

// The tags of the frames the watch yields until none has come for a while (bounded).
std::multiset<std::uint8_t> drain(const FrameWatch& watch) {
    std::multiset<std::uint8_t> tags;
    std::array<std::uint8_t, 1518> buffer{};
    for (int quiet = 0; quiet < 3;) {
        pollfd polled{watch.fd, POLLIN, 0};
        if (::poll(&polled, 1, 100) <= 0) {
            ++quiet;
            continue;
        }
        auto received = receiveFrame(watch, buffer);
        if (auto bytes = std::get_if<WatchedBytes>(&received); bytes && bytes->length > 0)
            tags.insert(buffer[bytes->length - 1]);
        else if (!std::holds_alternative<NoFrameWaiting>(received))
            break;
    }
    return tags;
}

TEST(FrameWatch, PassesOnlyARPLLDPAndUnfragmentedUDPToPort69) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    CableNamespace cable;
    if (!cable.error.empty()) GTEST_SKIP() << "cannot create the namespace: " << cable.error;

    struct Row {
        std::string what;
        Frame bytes;
        bool passes;
    };
    std::vector<Row> rows = {
        {"ARP", frame(0x0806, std::vector<std::uint8_t>(28, 1), 1), true},
        {"LLDP", frame(0x88cc, {0x02, 0x07, 0x04}, 2), true},
        {"UDP to 69", frame(0x0800, ipv4(17, 69), 3), true},
        {"UDP to 69 after IPv4 options", frame(0x0800, ipv4(17, 69, 0, 6, 80), 4), true},
        {"UDP to 80", frame(0x0800, ipv4(17, 80), 5), false},
        {"UDP to 80 after options, 69 where no options would put it", frame(0x0800, ipv4(17, 80, 0, 6, 69), 6), false},
        {"TCP to 69", frame(0x0800, ipv4(6, 69), 7), false},
        {"first fragment of UDP to 69", frame(0x0800, ipv4(17, 69, 0x2000), 8), false},
        {"later fragment", frame(0x0800, ipv4(17, 69, 0x0010), 9), false},
        {"UDP to 69 with don't fragment", frame(0x0800, ipv4(17, 69, 0x4000), 10), true},
        {"IPv6", frame(0x86dd, std::vector<std::uint8_t>(40, 0), 11), false},
        {"UDP to 69 behind a header length of 4 words", frame(0x0800, ipv4(17, 69, 0, 4), 13), false},
        {"ARP tagged for VLAN 5", frame(0x8100, vlanTagged(0x0806, std::vector<std::uint8_t>(28, 1)), 14), false},
        {"a runt with the ARP type", Frame{0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 1, 0x08, 0x06, 12}, true},
    };
    std::multiset<std::uint8_t> expected;
    for (const auto& row : rows)
        if (row.passes) expected.insert(row.bytes.back());

    cable.inside([&] {
        auto opened = openFrameWatch("en0", "/nonexistent/dhcpanvil-helper");
        auto* failure = std::get_if<PrivilegeHelper::Failure>(&opened);
        ASSERT_EQ(failure, nullptr) << failure->operation << " " << failure->code;
        auto watch = std::get<FrameWatch>(opened);
        EXPECT_EQ(watch.relay, -1);
        EXPECT_EQ(watch.interfaceIndex, ::if_nametoindex("en0"));
        EXPECT_TRUE(::fcntl(watch.fd, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(::fcntl(watch.fd, F_GETFD) & FD_CLOEXEC);

        int sender = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        ASSERT_GE(sender, 0);
        for (const auto& row : rows) EXPECT_TRUE(send(sender, "peer0", row.bytes)) << row.what;
        // What this computer sends on the watched card itself is not a neighbour's.
        EXPECT_TRUE(send(sender, "en0", frame(0x0806, std::vector<std::uint8_t>(28, 1), 99)));
        auto tags = drain(watch);
        EXPECT_EQ(tags, expected);
        for (const auto& row : rows)
            EXPECT_EQ(tags.count(row.bytes.back()), row.passes ? 1u : 0u) << row.what;
        ::close(sender);

        // The filter is locked: nobody holding the socket may widen it.
        EXPECT_NE(::setsockopt(watch.fd, SOL_SOCKET, SO_DETACH_FILTER, nullptr, 0), 0);
        closeFrameWatch(watch);
        EXPECT_EQ(watch.fd, -1);
    });
}

// Root opens the watch itself and judges the card by the rule; the rule's own table has the rest.
TEST(FrameWatch, RootWatchesOnlyBenchCards) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    CableNamespace cable;
    if (!cable.error.empty()) GTEST_SKIP() << cable.error;
    for (const auto& step : std::vector<std::vector<std::string>>{
             {"-n", cable.name, "link", "add", "en1", "type", "veth", "peer", "name", "peer1"},
             {"-n", cable.name, "address", "add", "10.9.0.1/24", "dev", "en1"},
             {"-n", cable.name, "link", "set", "en1", "up"},
             {"-n", cable.name, "link", "set", "peer1", "up"},
             {"-n", cable.name, "route", "add", "default", "via", "10.9.0.2"}}) {
        auto output = ip(step);
        if (output.status != 0) GTEST_SKIP() << output.text;
    }
    struct Row {
        std::string card;
        PrivilegeHelper::Failure expected;
    };
    const Row rows[] = {
        {"en1",
         {"watch a card (card en1 carries a default route: it is this computer's own connection, not a bench card)",
          EPERM}},
        {"en/0", {"watch a card (the card name contains \"/\")", EPERM}},
        {"enmissing", {"find interface enmissing", ENXIO}},
    };
    cable.inside([&] {
        for (const auto& row : rows) {
            auto opened = openFrameWatch(row.card, "/nonexistent/dhcpanvil-helper");
            auto* failure = std::get_if<PrivilegeHelper::Failure>(&opened);
            ASSERT_NE(failure, nullptr) << row.card;
            EXPECT_EQ(*failure, row.expected);
        }
    });
}

TEST(FrameWatch, ReadingARelayGivesOneFrameCutToTheBufferThenNothingThenTheEnd) {
    int ends[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, ends), 0);
    // The relay's pid matters only to closeFrameWatch, which this test does not call.
    FrameWatch watch{ends[0], 2, ::getpid()};
    // Each relayed message starts with its kind: 2 a frame, 3 the sentence the relay ended with.
    std::vector<std::uint8_t> longFrame(2001, 7), shortFrame(61, 8), unknown{9, 1, 2}, ended{3};
    longFrame[0] = 2;
    shortFrame[0] = 2;
    std::string why = "card en0 carries a default route";
    ended.insert(ended.end(), why.begin(), why.end());
    for (const auto& message : {longFrame, unknown, shortFrame})
        ASSERT_EQ(::send(ends[1], message.data(), message.size(), 0), static_cast<ssize_t>(message.size()));
    std::array<std::uint8_t, 1518> buffer{};
    std::vector<FrameReception> expected = {WatchedBytes{1518}, NoFrameWaiting{}, WatchedBytes{60}, NoFrameWaiting{}};
    for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(receiveFrame(watch, buffer), expected[i]) << i;
    EXPECT_EQ(buffer[0], 8);
    ASSERT_EQ(::send(ends[1], ended.data(), ended.size(), 0), static_cast<ssize_t>(ended.size()));
    EXPECT_EQ(receiveFrame(watch, buffer), FrameReception(WatchEnded{0, why}));
    ::close(ends[1]);
    EXPECT_EQ(receiveFrame(watch, buffer), FrameReception(WatchEnded{0, {}}));
    ::close(ends[0]);
    EXPECT_EQ(receiveFrame(FrameWatch{}, buffer), FrameReception(WatchEnded{EBADF, {}}));
}

}  // namespace
}  // namespace anvil
