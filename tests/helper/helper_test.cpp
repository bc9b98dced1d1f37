// dhcpanvil-helper fed directly, and the server socket it opens seen through the transport.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>

#include "core/host/bench_card_rule.hpp"
#include "core/host/datagram_relay.hpp"
#include "core/host/frame_watch.hpp"
#include "core/host/interfaces.hpp"
#include "core/host/privilege_helper.hpp"
#include "core/host/process_runner.hpp"
#include "core/host/socket_address.hpp"
#include "core/dhcp_service/transport_error.hpp"
#include "core/dhcp_service/udp_transport.hpp"

using namespace anvil;

namespace {

// Starts the helper with one end of a socket pair as descriptor 3, sends `request` as one
// message and returns the answer line; `passed` receives an attached descriptor.
std::string ask(const std::string& request, int* passed = nullptr) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return "socketpair failed";
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(ends[1], 3);
        ::execl(ANVIL_HELPER_PATH, "dhcpanvil-helper", nullptr);
        ::_exit(127);
    }
    ::close(ends[1]);
    ::send(ends[0], request.data(), request.size(), 0);
    char text[256] = {};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec vector{text, sizeof text - 1};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length = ::recvmsg(ends[0], &message, MSG_CMSG_CLOEXEC);
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    if (header && header->cmsg_type == SCM_RIGHTS) {
        int fd = -1;
        std::memcpy(&fd, CMSG_DATA(header), sizeof fd);
        if (passed)
            *passed = fd;
        else
            ::close(fd);
    }
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : "";
}

TEST(Helper, RefusesEveryRequestButAnOfferedCardOnPort67Or69WithOneLine) {
    struct Row {
        std::string request;
        std::string answer;
    };
    const std::string missing = "enmissing" + std::to_string(::getpid() % 100000);
    const Row rows[] = {
        {"en/0 67\n", "refused the card name contains \"/\"\n"},
        {"en..0 67\n", "refused the card name contains \"..\"\n"},
        {"en 0 67\n", "refused the card name contains a space\n"},
        {std::string("en\x01") + "0 67\n", "refused the card name contains a control character\n"},
        {std::string("en\x7f") + " 67\n", "refused the card name contains a control character\n"},
        {"en\t0 67\n", "refused the card name contains a control character\n"},
        {" 67\n", "refused the card name is empty\n"},
        {"enp0s31f6abcdefg 67\n", "refused the card name is longer than 15 bytes\n"},
        {"en:0 67\n", "refused the card name en:0 contains a character other than a letter, a digit, \"-\" or \"_\"\n"},
        {"lo 67\n", "refused card lo is not offered: only cards named \"en…\" or \"eth…\" are served\n"},
        {"wlan0 67\n", "refused card wlan0 is not offered: only cards named \"en…\" or \"eth…\" are served\n"},
        {missing + " 67\n", "error 6 find interface " + missing + "\n"},
        {"eth0 68\n", "refused the request names another port than 67 or 69\n"},
        {"eth0 067\n", "refused the request names another port than 67 or 69\n"},
        {"eth0 6\n7\n", "refused the request names another port than 67 or 69\n"},
        {"eth0 6969\n", "refused the request names another port than 67 or 69\n"},
        {"eth0 670\n", "refused the request names another port than 67 or 69\n"},
        {"eth0 69x\n", "refused the request names another port than 67 or 69\n"},
        {"eth0 069\n", "refused the request names another port than 67 or 69\n"},
        {"eth0 \n", "refused the request names another port than 67 or 69\n"},
        {"lo 69\n", "refused card lo is not offered: only cards named \"en…\" or \"eth…\" are served\n"},
        {"eth0 67", "refused the request is truncated: it does not end with a newline\n"},
        {"eth0\n", "refused the request is truncated: it names no port\n"},
        {"", "refused the request is truncated: it does not end with a newline\n"},
        {"en" + std::string(40, 'x') + " 67\n", "refused the request is longer than a card name and a port\n"},
        {std::string(200, 'e') + "\n", "refused the request is longer than a card name and a port\n"},
    };
    for (const auto& row : rows) {
        int passed = -1;
        EXPECT_EQ(ask(row.request, &passed), row.answer) << "request: " << row.request;
        EXPECT_EQ(passed, -1) << "request: " << row.request;
        if (passed >= 0) ::close(passed);
    }
}

// A network namespace with the card en0, one end of a veth pair whose other end stays inside.
struct CardNamespace {
    std::string name = "anvil-helper-" + std::to_string(::getpid());
    std::string error;
    CardNamespace() {
        for (const auto& step : std::vector<std::vector<std::string>>{
                 {"netns", "add", name},
                 {"-n", name, "link", "add", "en0", "type", "veth", "peer", "name", "peer0"},
                 {"-n", name, "link", "set", "en0", "up"}}) {
            auto output = ProcessRunner::run("/usr/sbin/ip", step);
            if (output.status != 0 && error.empty()) error = output.text;
        }
    }
    ~CardNamespace() { ProcessRunner::run("/usr/sbin/ip", {"netns", "delete", name}); }

    // Runs `work` on a thread that lives in the namespace, so that what it starts does too. As
    // `ip netns exec` does, the thread gets a /sys of its own that shows the namespace's cards.
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

// A packet socket on `card` that sees everything, or -1.
int rawSocket(const std::string& card) {
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(::if_nametoindex(card.c_str()));
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// The messages that arrive on `fd` until 300 ms pass without one (at most 64 of them).
std::vector<std::vector<std::uint8_t>> collect(int fd) {
    std::vector<std::vector<std::uint8_t>> messages;
    std::vector<std::uint8_t> buffer(2100);
    while (messages.size() < 64) {
        pollfd polled{fd, POLLIN, 0};
        if (::poll(&polled, 1, 300) <= 0) break;
        ssize_t length = ::recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (length <= 0) break;
        messages.emplace_back(buffer.begin(), buffer.begin() + length);
    }
    return messages;
}

// The first UDP payload byte of each IPv4 UDP frame from port 67 among `frames`.
std::vector<std::uint8_t> fromPort67(const std::vector<std::vector<std::uint8_t>>& frames) {
    std::vector<std::uint8_t> marks;
    for (const auto& frame : frames) {
        if (frame.size() < 14 + 20 + 8 + 1 || frame[12] != 0x08 || frame[13] != 0x00 || frame[14 + 9] != 17) continue;
        std::size_t udp = 14 + static_cast<std::size_t>(frame[14] & 0x0f) * 4;
        if (frame.size() < udp + 9 || (frame[udp] << 8 | frame[udp + 1]) != 67) continue;
        marks.push_back(frame[udp + 8]);
    }
    return marks;
}

// A client's broadcast to port 67 as a frame: from 0.0.0.0:68 to 255.255.255.255:67.
std::vector<std::uint8_t> clientBroadcast(const std::vector<std::uint8_t>& payload) {
    std::vector<std::uint8_t> frame(14, 0xff);
    frame[6] = 0x02;
    frame[12] = 0x08;
    frame[13] = 0x00;
    auto total = static_cast<std::uint16_t>(20 + 8 + payload.size());
    std::vector<std::uint8_t> ip = {0x45,
                                    0,
                                    static_cast<std::uint8_t>(total >> 8),
                                    static_cast<std::uint8_t>(total),
                                    0,
                                    0,
                                    0,
                                    0,
                                    64,
                                    17,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0,
                                    0xff,
                                    0xff,
                                    0xff,
                                    0xff};
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < ip.size(); i += 2) sum += static_cast<std::uint32_t>(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    ip[10] = static_cast<std::uint8_t>(~sum >> 8);
    ip[11] = static_cast<std::uint8_t>(~sum);
    auto udpLength = static_cast<std::uint16_t>(8 + payload.size());
    std::vector<std::uint8_t> udp = {
        0, 68, 0, 67, static_cast<std::uint8_t>(udpLength >> 8), static_cast<std::uint8_t>(udpLength), 0, 0};
    frame.insert(frame.end(), ip.begin(), ip.end());
    frame.insert(frame.end(), udp.begin(), udp.end());
    frame.insert(frame.end(), payload.begin(), payload.end());
    return frame;
}

std::string openingError(UDPTransport& transport) {
    try {
        transport.open();
    } catch (const TransportError& error) {
        return error.description();
    }
    return "";
}

TEST(Helper, OpensTheServerSocketAndItsFailuresReadAsTheTransportsOwn) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    CardNamespace bench;
    if (!bench.error.empty()) GTEST_SKIP() << "cannot create the namespace: " << bench.error;

    for (const auto& step : std::vector<std::vector<std::string>>{{"address", "add", "10.8.0.1/24", "dev", "en0"},
                                                                  {"link", "set", "peer0", "up"}}) {
        std::vector<std::string> arguments{"-n", bench.name};
        arguments.insert(arguments.end(), step.begin(), step.end());
        ASSERT_EQ(ProcessRunner::run("/usr/sbin/ip", arguments).status, 0);
    }
    bench.inside([] {
        UDPTransport first(TransportMode::interface("en0"), UDPTransport::Opener::helper);
        ASSERT_EQ(openingError(first), "");
        EXPECT_EQ(first.interfaceIndex(), ::if_nametoindex("en0"));
        // What this process holds is the relay's end, never the helper's socket.
        int type = 0;
        socklen_t typeLength = sizeof type;
        ASSERT_EQ(::getsockopt(first.fd(), SOL_SOCKET, SO_TYPE, &type, &typeLength), 0);
        EXPECT_EQ(type, SOCK_SEQPACKET);
        EXPECT_TRUE(::fcntl(first.fd(), F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(::fcntl(first.fd(), F_GETFD) & FD_CLOEXEC);
        EXPECT_EQ(first.receive(), std::nullopt);

        // A broadcast the card receives on port 67 arrives relayed, with the card it came in on.
        int peer = rawSocket("peer0");
        ASSERT_GE(peer, 0);
        std::vector<std::uint8_t> discover(300, 1);
        auto frame = clientBroadcast(discover);
        ASSERT_EQ(::send(peer, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
        std::optional<Datagram> received;
        for (int tries = 0; tries < 100 && !received; ++tries) {
            pollfd polled{first.fd(), POLLIN, 0};
            ::poll(&polled, 1, 50);
            received = first.receive();
        }
        ASSERT_TRUE(received);
        EXPECT_EQ(received->bytes, discover);
        EXPECT_EQ(received->interfaceIndex, ::if_nametoindex("en0"));
        EXPECT_EQ(received->sourcePort, 68);
        // The reply the server sends by broadcast reaches the client's cable.
        std::vector<std::uint8_t> offer(300, 0xb2);
        first.send(offer, ReplyDestination::broadcast());
        auto marks = fromPort67(collect(peer));
        EXPECT_EQ(std::count(marks.begin(), marks.end(), 0xb2), 1);
        ::close(peer);

        struct Row {
            std::string card;
            std::string helper;
            TransportError expected;
        };
        const Row rows[] = {
            {"en0", PrivilegeHelper::path(), {"bind 0.0.0.0:67", EADDRINUSE}},
            {"enmissing", PrivilegeHelper::path(), {"find interface enmissing", ENXIO}},
            {"usb0",
             PrivilegeHelper::path(),
             {"ask dhcpanvil-helper (card usb0 is not offered: only cards named \"en…\" or \"eth…\" are served)",
              EPERM}},
            {"en0", "/nonexistent/dhcpanvil-helper", {"start /nonexistent/dhcpanvil-helper", ENOENT}},
        };
        for (const auto& row : rows) {
            auto answer = PrivilegeHelper::openServerSocket(row.card, row.helper);
            auto failure = std::get_if<PrivilegeHelper::Failure>(&answer);
            ASSERT_NE(failure, nullptr) << row.card;
            EXPECT_EQ(TransportError(failure->operation, failure->code), row.expected);
        }
        // The same failure opened here gives the same text.
        UDPTransport direct(TransportMode::interface("en0"));
        EXPECT_EQ(openingError(direct), TransportError("bind 0.0.0.0:67", EADDRINUSE).description());
    });
}

// The group the helper serves, made here when no install made it yet (the install makes it too).
std::optional<gid_t> benchGroup() {
    const std::string name(BenchCardRule::group);
    if (auto* entry = ::getgrnam(name.c_str())) return entry->gr_gid;
    ProcessRunner::run("/usr/sbin/groupadd", {"-r", name});
    if (auto* entry = ::getgrnam(name.c_str())) return entry->gr_gid;
    return std::nullopt;
}

// Runs `work` in a child process as uid 65534 with exactly `groups` as its supplementary groups,
// from the thread it is called on (and so in that thread's namespace); returns what it wrote.
std::string asNobody(const std::vector<gid_t>& groups, const std::function<std::string()>& work) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return "pipe failed";
    pid_t child = ::fork();
    if (child == 0) {
        if (::setgroups(groups.size(), groups.data()) != 0 || ::setresgid(65534, 65534, 65534) != 0 ||
            ::setresuid(65534, 65534, 65534) != 0)
            ::_exit(1);
        auto text = work();
        bool written = ::write(ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
        ::_exit(written ? 0 : 2);
    }
    ::close(ends[1]);
    std::string text;
    char buffer[512];
    ssize_t length;
    while ((length = ::read(ends[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(length));
    ::close(ends[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 2) text += " (the child's write fell short)";
    return text;
}

// What asking the helper for a card's socket came to, as the programs would show it.
std::string answerText(const std::string& card, const std::string& helper) {
    auto answer = PrivilegeHelper::openServerSocket(card, helper);
    if (auto socket = std::get_if<PrivilegeHelper::RelayedSocket>(&answer)) {
        closeRelayedSocket(*socket);
        return "served";
    }
    auto failure = std::get<PrivilegeHelper::Failure>(answer);
    return TransportError(failure.operation, failure.code).description();
}

TEST(Helper, WithoutItsCapabilityTheUserSeesPermissionDenied) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace and change user";
    CardNamespace bench;
    if (!bench.error.empty()) GTEST_SKIP() << "cannot create the namespace: " << bench.error;
    auto group = benchGroup();
    ASSERT_TRUE(group) << "cannot create the group dhcpanvil";
    std::string text;
    bench.inside([&] {
        // As nobody in the group, with the build tree's helper that carries no capability.
        text = asNobody({*group}, [] {
            UDPTransport transport(TransportMode::interface("en0"), UDPTransport::Opener::helper);
            return openingError(transport);
        });
    });
    EXPECT_EQ(text, "bind 0.0.0.0:67 failed: Permission denied (errno 13)");
}

// A copy of the build's helper made as an install makes it: root:dhcpanvil, 0750, with its
// capability, in a folder every user may enter.
struct InstalledHelper {
    std::string folder;
    std::string path;
    std::string error;
    explicit InstalledHelper(gid_t group) {
        char pattern[] = "/tmp/anvil-helper-XXXXXX";
        if (!::mkdtemp(pattern)) {
            error = "mkdtemp failed";
            return;
        }
        folder = pattern;
        path = folder + "/dhcpanvil-helper";
        std::error_code failed;
        std::filesystem::permissions(folder, std::filesystem::perms(0755), failed);
        std::filesystem::copy_file(ANVIL_HELPER_PATH, path, failed);
        if (failed || ::chown(path.c_str(), 0, group) != 0 || ::chmod(path.c_str(), 0750) != 0) {
            error = "cannot copy the helper";
            return;
        }
        auto granted = ProcessRunner::run("/usr/sbin/setcap", {"cap_net_bind_service,cap_net_raw+ep", path});
        if (granted.status != 0) error = "setcap failed: " + granted.text;
    }
    ~InstalledHelper() {
        std::error_code ignored;
        if (!folder.empty()) std::filesystem::remove_all(folder, ignored);
    }
};

// A bench namespace and the helper installed for the group, as a member reaches it.
class MemberHelper : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace and change user";
        bench.emplace();
        if (!bench->error.empty()) GTEST_SKIP() << "cannot create the namespace: " << bench->error;
        group = benchGroup();
        ASSERT_TRUE(group) << "cannot create the group dhcpanvil";
        installed.emplace(*group);
        if (!installed->error.empty()) GTEST_SKIP() << installed->error;
    }

    std::optional<CardNamespace> bench;
    std::optional<gid_t> group;
    std::optional<InstalledHelper> installed;
};

// What opening a watch came to, as the programs would show it; "relayed" when the helper relays.
std::string watchText(const std::string& card, const std::string& helper) {
    auto opened = openFrameWatch(card, helper);
    if (auto failure = std::get_if<PrivilegeHelper::Failure>(&opened))
        return TransportError(failure->operation, failure->code).description();
    auto watch = std::get<FrameWatch>(opened);
    std::string text = watch.relay > 0 ? "relayed" : "opened here";
    closeFrameWatch(watch);
    return text;
}

// The group is checked before the request is read: a watch is refused to outsiders as a port is.
TEST_F(MemberHelper, ServesTheGroupsMembersAndTellsOthersHowToJoin) {
    const std::string sentence(BenchCardRule::notInGroup);
    struct Row {
        std::string what;
        std::vector<gid_t> groups;
        std::string helper;
        std::string answer;
        bool watch = false;
    };
    const Row rows[] = {
        {"a member", {*group}, installed->path, "served"},
        {"a member among other groups", {100, *group}, installed->path, "served"},
        // The installed mode keeps others from starting it at all.
        {"outside the group",
         {},
         installed->path,
         sentence + " Starting dhcpanvil-helper failed: Permission denied (errno 13)"},
        {"outside the group, in others",
         {100},
         installed->path,
         sentence + " Starting dhcpanvil-helper failed: Permission denied (errno 13)"},
        // A helper left startable by all refuses them itself.
        {"outside the group, helper 0755",
         {},
         ANVIL_HELPER_PATH,
         sentence + " Asking dhcpanvil-helper failed: Operation not permitted (errno 1)"},
        {"outside the group, helper 0755, a watch",
         {},
         ANVIL_HELPER_PATH,
         sentence + " Asking dhcpanvil-helper failed: Operation not permitted (errno 1)",
         true},
    };
    bench->inside([&] {
        for (const auto& row : rows) {
            auto work = [&] { return row.watch ? watchText("en0", row.helper) : answerText("en0", row.helper); };
            EXPECT_EQ(asNobody(row.groups, work), row.answer) << row.what;
        }
    });
}

// What asking for a card's TFTP socket came to; "served" says how the socket was made.
std::string tftpAnswerText(const std::string& card, const std::string& helper) {
    auto answer = PrivilegeHelper::openServerSocket(card, PrivilegeHelper::ServerPort::tftp, helper);
    if (auto failure = std::get_if<PrivilegeHelper::Failure>(&answer))
        return TransportError(failure->operation, failure->code).description();
    auto socket = std::get<PrivilegeHelper::RelayedSocket>(answer);
    std::string text = "served";
    if (socket.interfaceIndex != ::if_nametoindex(card.c_str())) text += ", another card's index";
    // Port 69 answers unicast only; a request to 10.0.0.0/8 leaves (and finds nobody).
    std::vector<std::uint8_t> bytes(4, 0);
    if (sendRelayed(socket, bytes, IPv4Address::broadcast, 68) != EACCES) text += ", broadcast";
    if (int code = sendRelayed(socket, bytes, IPv4Address(10, 200, 0, 9), 1069))
        text += ", unicast refused " + std::to_string(code);
    if (!(::fcntl(socket.fd, F_GETFL) & O_NONBLOCK)) text += ", blocking";
    if (!(::fcntl(socket.fd, F_GETFD) & FD_CLOEXEC) || !(::fcntl(socket.sendFD, F_GETFD) & FD_CLOEXEC))
        text += ", inherited";
    closeRelayedSocket(socket);
    return text;
}

TEST_F(MemberHelper, OpensTheTFTPSocketOfABenchCardForRootAndMembers) {
    struct Row {
        std::string what;
        std::optional<std::vector<gid_t>> nobodyWithGroups;  // nothing: as root
        std::string card;
        std::string helper;
        std::string answer;
    };
    const Row rows[] = {
        {"root", std::nullopt, "en0", ANVIL_HELPER_PATH, "served"},
        {"a member", std::vector<gid_t>{*group}, "en0", installed->path, "served"},
        {"a member, not a bench card", std::vector<gid_t>{*group}, "usb0", installed->path,
         "ask dhcpanvil-helper (card usb0 is not offered: only cards named \"en…\" or \"eth…\" are served) failed: "
         "Operation not permitted (errno 1)"},
    };
    bench->inside([&] {
        for (const auto& row : rows) {
            auto work = [&] { return tftpAnswerText(row.card, row.helper); };
            EXPECT_EQ(row.nobodyWithGroups ? asNobody(*row.nobodyWithGroups, work) : work(), row.answer) << row.what;
        }
        // Port 69 is the TFTP server's alone: the DHCP socket of the same card still opens.
        EXPECT_EQ(answerText("en0", ANVIL_HELPER_PATH), "served");
    });
}

// Cards the helper must not serve, next to one it serves, asked by a member of the group through
// the installed helper; the card list and `dhcpanvil list` offer exactly the ones it serves.
TEST_F(MemberHelper, RefusesCardsWithADefaultRouteAndCardsThatAreNotEthernetAsTheCardListDoes) {
    auto ip = [&](std::vector<std::string> step) {
        step.insert(step.begin(), {"-n", bench->name});
        return ProcessRunner::run("/usr/sbin/ip", step);
    };
    std::string setupError;
    for (const auto& step : std::vector<std::vector<std::string>>{
             {"link", "add", "en4", "type", "veth", "peer", "name", "peer4"},
             {"link", "add", "en6", "type", "veth", "peer", "name", "peer6"},
             {"link", "add", "enbr0", "type", "bridge"},
             {"tuntap", "add", "dev", "entun0", "mode", "tun"},
             {"address", "add", "10.44.0.1/24", "dev", "en4"},
             {"link", "set", "en4", "up"},
             {"link", "set", "peer4", "up"},
             {"link", "set", "en6", "up"},
             {"link", "set", "peer6", "up"},
             {"link", "set", "enbr0", "up"},
             {"route", "add", "default", "via", "10.44.0.2", "dev", "en4"},
             {"-6", "route", "add", "default", "dev", "en6"},
             // The uplink's bridge and its port.
             {"link", "add", "enbr1", "type", "bridge"},
             {"link", "add", "enport", "type", "veth", "peer", "name", "peerport"},
             {"link", "set", "enport", "master", "enbr1"},
             {"address", "add", "10.45.0.1/24", "dev", "enbr1"},
             {"link", "set", "enbr1", "up"},
             {"link", "set", "enport", "up"},
             {"route", "add", "default", "via", "10.45.0.2", "dev", "enbr1", "metric", "200"},
             // A card whose upper link carries the default route.
             {"link", "add", "enparent", "type", "veth", "peer", "name", "peerparent"},
             {"link", "set", "enparent", "up"},
             // A default route in a policy-routing table alone.
             {"link", "add", "entable", "type", "veth", "peer", "name", "peertable"},
             {"address", "add", "10.47.0.1/24", "dev", "entable"},
             {"link", "set", "entable", "up"},
             {"link", "set", "peertable", "up"},
             {"route", "add", "default", "via", "10.47.0.2", "dev", "entable", "table", "100"},
             {"rule", "add", "from", "10.47.0.1", "table", "100"},
         }) {
        auto output = ip(step);
        if (output.status != 0 && setupError.empty()) setupError = output.text;
    }
    if (!setupError.empty()) GTEST_SKIP() << "cannot build the cards: " << setupError;
    // VLAN and bonding are modules a kernel may lack: a macvlan stands in for the VLAN, and the
    // bond's row is left out.
    std::string upper = "enparent.7", upperKind = "VLAN";
    if (ip({"link", "add", "link", "enparent", "name", upper, "type", "vlan", "id", "7"}).status != 0) {
        upper = "enparentmv";
        upperKind = "macvlan";
        ASSERT_EQ(ip({"link", "add", "link", "enparent", "name", upper, "type", "macvlan"}).status, 0);
    }
    for (const auto& step : std::vector<std::vector<std::string>>{
             {"address", "add", "10.46.0.1/24", "dev", upper},
             {"link", "set", upper, "up"},
             {"route", "add", "default", "via", "10.46.0.2", "dev", upper, "metric", "300"}})
        ASSERT_EQ(ip(step).status, 0) << step.back();
    bool bonding = ip({"link", "add", "enbond0", "type", "bond"}).status == 0;
    if (bonding) {
        for (const auto& step : std::vector<std::vector<std::string>>{
                 {"link", "add", "enslave", "type", "veth", "peer", "name", "peerslave"},
                 {"link", "set", "enslave", "master", "enbond0"},
                 {"link", "set", "enslave", "up"}})
            ASSERT_EQ(ip(step).status, 0) << step.back();
    }

    auto refused = [](const std::string& reason) {
        return "ask dhcpanvil-helper (" + reason + ") failed: Operation not permitted (errno 1)";
    };
    struct Row {
        std::string card;
        std::string answer;
    };
    std::vector<Row> rows = {
        {"en0", "served"},
        {"en4", refused("card en4 carries a default route: it is this computer's own connection, not a bench card")},
        {"en6", refused("card en6 carries a default route: it is this computer's own connection, not a bench card")},
        {"enbr0", refused("card enbr0 is a bridge, not a wired Ethernet card")},
        {"entun0", refused("card entun0 is not an Ethernet card")},
        {"enport", refused("card enport is a port of the bridge enbr1: what it carries is enbr1's traffic, so it is "
                           "not a bench card")},
        {"enparent", refused("card enparent is under the " + upperKind + " " + upper +
                             ", which carries a default route: it is part of this computer's own connection, not a "
                             "bench card")},
        {"entable",
         refused("card entable carries a default route: it is this computer's own connection, not a bench card")},
    };
    if (bonding)
        rows.push_back({"enslave", refused("card enslave is a port of the bond enbond0: what it carries is enbond0's "
                                           "traffic, so it is not a bench card")});
    bench->inside([&] {
        std::vector<std::string> offered;
        for (const auto& card : Interfaces::offered(Interfaces::list(), true)) offered.push_back(card.bsdName);
        for (const auto& row : rows) {
            EXPECT_EQ(asNobody({*group}, [&] { return answerText(row.card, installed->path); }), row.answer)
                << row.card;
            bool listed = std::find(offered.begin(), offered.end(), row.card) != offered.end();
            EXPECT_EQ(listed, row.answer == "served") << row.card;
        }
    });
    // The command line's list is the same list.
    auto listed = ProcessRunner::run("/usr/sbin/ip", {"netns", "exec", bench->name, ANVIL_DHCPANVIL_PATH, "list"}).text;
    std::string cards;
    for (const auto& row : rows)
        if (listed.find(row.card + "  ") == 0 || listed.find("\n" + row.card + "  ") != std::string::npos)
            cards += row.card + " ";
    EXPECT_EQ(cards, "en0 ") << listed;
}

// A program started with descriptors 0-2 closed gets its socket pair there; the hand-off must not
// lose it to the helper's own standard descriptors.
TEST(Helper, HandsOffWhenTheCallerStartedWithItsStandardDescriptorsClosed) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    CardNamespace bench;
    if (!bench.error.empty()) GTEST_SKIP() << "cannot create the namespace: " << bench.error;
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    bench.inside([&] {
        pid_t child = ::fork();
        if (child == 0) {
            for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) ::close(fd);
            auto text = answerText("en0", ANVIL_HELPER_PATH);
            bool written = ::write(ends[1], text.data(), text.size()) == static_cast<ssize_t>(text.size());
            ::_exit(written ? 0 : 2);
        }
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child ended with status " << status;
    });
    ::close(ends[1]);
    char text[256] = {};
    auto length = ::read(ends[0], text, sizeof text - 1);
    ::close(ends[0]);
    EXPECT_EQ(std::string(text, length > 0 ? static_cast<std::size_t>(length) : 0), "served");
}

TEST(Helper, WatchesOnlyABenchCardAndRefusesEveryOtherWatchRequestWithOneLine) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    CardNamespace bench;
    if (!bench.error.empty()) GTEST_SKIP() << "cannot create the namespace: " << bench.error;
    // Cards are judged as for a port (the member tests' refusal table); these rows are the request's.
    struct Row {
        std::string request;
        std::string answer;  // "ok" stands for "ok <index of en0>"
    };
    const Row rows[] = {
        {"en0 watch\n", "ok"},
        {"lo watch\n", "refused card lo is not offered: only cards named \"en…\" or \"eth…\" are served\n"},
        {"enmissing watch\n", "error 6 find interface enmissing\n"},
        {"watch\n", "refused the request is truncated: it names no port\n"},
        {" watch\n", "refused the card name is empty\n"},
        {"en0 watch", "refused the request is truncated: it does not end with a newline\n"},
        {"en0 WATCH\n", "refused the request names another port than 67 or 69\n"},
        {"en0 watch 67\n", "refused the card name contains a space\n"},
        {"en0  watch\n", "refused the card name contains a space\n"},
        {"en" + std::string(40, 'x') + " watch\n", "refused the request is longer than a card name and a port\n"},
    };
    bench.inside([&] {
        const std::string accepted = "ok " + std::to_string(::if_nametoindex("en0")) + "\n";
        for (const auto& row : rows) {
            int passed = -1;
            // The accepted watch ends when ask closes its end of the pair.
            EXPECT_EQ(ask(row.request, &passed), row.answer == "ok" ? accepted : row.answer) << row.request;
            EXPECT_EQ(passed, -1) << "the packet socket left the helper: " << row.request;
            if (passed >= 0) ::close(passed);
        }
    });
}

// A broadcast frame from a local address whose last byte is `tag`.
std::vector<std::uint8_t> taggedFrame(std::uint16_t type, std::vector<std::uint8_t> payload, std::uint8_t tag) {
    std::vector<std::uint8_t> bytes(12, 0xff);
    bytes[6] = 0x02;
    bytes.push_back(static_cast<std::uint8_t>(type >> 8));
    bytes.push_back(static_cast<std::uint8_t>(type));
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.resize(std::max<std::size_t>(bytes.size() + 1, 64), 0);
    bytes.back() = tag;
    return bytes;
}

// A minimal IPv4 header and the start of a UDP or TCP header to `port`.
std::vector<std::uint8_t> ipv4To(std::uint8_t protocol, std::uint16_t port) {
    std::vector<std::uint8_t> bytes(20, 0);
    bytes[0] = 0x45;
    bytes[8] = 64;
    bytes[9] = protocol;
    for (int byte : {0x04, 0x00, port >> 8, port & 0xff}) bytes.push_back(static_cast<std::uint8_t>(byte));
    bytes.resize(40, 0);
    return bytes;
}

// "CapEff", "CapPrm", "CapInh" and "NoNewPrivs" of a running process, as /proc shows them.
std::map<std::string, std::string> privileges(pid_t process) {
    std::map<std::string, std::string> found;
    std::ifstream status("/proc/" + std::to_string(process) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string key = line.substr(0, colon);
        if (key == "CapEff" || key == "CapPrm" || key == "CapInh" || key == "CapAmb" || key == "NoNewPrivs")
            found[key] = line.substr(line.find_first_not_of(" \t", colon + 1));
    }
    return found;
}

TEST(Helper, RelaysOnlyWatchedFramesWithNoCapabilityLeftAndEndsWithItsPair) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to create a network namespace";
    CardNamespace bench;
    if (!bench.error.empty()) GTEST_SKIP() << "cannot create the namespace: " << bench.error;
    // A larger MTU lets a frame longer than the watch keeps cross the pair.
    for (const std::string card : {"en0", "peer0"})
        ASSERT_EQ(ProcessRunner::run("/usr/sbin/ip", {"-n", bench.name, "link", "set", card, "mtu", "2000", "up"}).status, 0);
    bench.inside([&] {
        int ends[2];
        ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends), 0);
        pid_t child = ::fork();
        if (child == 0) {
            ::dup2(ends[1], 3);
            ::execl(ANVIL_HELPER_PATH, "dhcpanvil-helper", nullptr);
            ::_exit(127);
        }
        ::close(ends[1]);
        std::string request = "en0 watch\n";
        ASSERT_EQ(::send(ends[0], request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
        char line[64] = {};
        ASSERT_GT(::recv(ends[0], line, sizeof line - 1, 0), 0);
        EXPECT_EQ(std::string(line), "ok " + std::to_string(::if_nametoindex("en0")) + "\n");

        const std::string none = "0000000000000000";
        std::map<std::string, std::string> expected{
            {"CapEff", none}, {"CapPrm", none}, {"CapInh", none}, {"CapAmb", none}, {"NoNewPrivs", "1"}};
        EXPECT_EQ(privileges(child), expected);

        struct Row {
            std::string what;
            std::vector<std::uint8_t> frame;
            bool relayed;
        };
        const Row rows[] = {
            {"ARP", taggedFrame(0x0806, std::vector<std::uint8_t>(28, 1), 1), true},
            {"LLDP", taggedFrame(0x88cc, {0x02, 0x07, 0x04}, 2), true},
            {"UDP to 69", taggedFrame(0x0800, ipv4To(17, 69), 3), true},
            {"TCP to 69", taggedFrame(0x0800, ipv4To(6, 69), 4), false},
            {"UDP to 80", taggedFrame(0x0800, ipv4To(17, 80), 5), false},
            {"a frame longer than the snap length", taggedFrame(0x0806, std::vector<std::uint8_t>(1600, 1), 6), true},
        };
        int peer = rawSocket("peer0");
        ASSERT_GE(peer, 0);
        for (const auto& row : rows)
            EXPECT_EQ(::send(peer, row.frame.data(), row.frame.size(), 0), static_cast<ssize_t>(row.frame.size()))
                << row.what;
        // Each relayed message is the kind byte of a frame, then the whole frame or its first 1518 bytes.
        std::map<std::string, std::size_t> relayed;
        for (const auto& message : collect(ends[0]))
            for (const auto& row : rows) {
                auto kept = std::min<std::size_t>(row.frame.size(), 1518);
                if (message.size() == kept + 1 && message[0] == 2 &&
                    std::equal(message.begin() + 1, message.end(), row.frame.begin()))
                    ++relayed[row.what];
            }
        for (const auto& row : rows) EXPECT_EQ(relayed[row.what], row.relayed ? 1u : 0u) << row.what;

        // Whatever the caller writes never reaches the cable.
        auto written = taggedFrame(0x0806, std::vector<std::uint8_t>(28, 3), 77);
        EXPECT_EQ(::send(ends[0], written.data(), written.size(), 0), static_cast<ssize_t>(written.size()));
        for (const auto& seen : collect(peer)) EXPECT_NE(seen, written);
        ::close(peer);

        ::close(ends[0]);
        int status = 0;
        pid_t done = 0;
        for (int waited = 0; waited < 200 && done == 0; ++waited) {
            done = ::waitpid(child, &status, WNOHANG);
            if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(done, child) << "the helper outlived its pair";
        if (done != child) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    });
}

TEST_F(MemberHelper, WatchesThroughTheInstalledHelperForMembersAndDirectlyForRoot) {
    struct Row {
        std::string what;
        std::optional<std::vector<gid_t>> nobodyWithGroups;  // nothing: as root
        std::string helper;
        std::string answer;
    };
    const Row rows[] = {
        {"root", std::nullopt, "/nonexistent/dhcpanvil-helper", "opened here"},
        {"a member", std::vector<gid_t>{*group}, installed->path, "relayed"},
        {"a member, helper without capabilities", std::vector<gid_t>{*group}, ANVIL_HELPER_PATH,
         "socket AF_PACKET failed: Operation not permitted (errno 1)"},
    };
    bench->inside([&] {
        for (const auto& row : rows) {
            auto work = [&] { return watchText("en0", row.helper); };
            EXPECT_EQ(row.nobodyWithGroups ? asNobody(*row.nobodyWithGroups, work) : work(), row.answer) << row.what;
        }
    });
}

// Builds the rest of the bench inside `bench`: each step is an `ip` command run there.
std::string built(const CardNamespace& bench, const std::vector<std::vector<std::string>>& steps) {
    for (const auto& step : steps) {
        std::vector<std::string> arguments{"-n", bench.name};
        arguments.insert(arguments.end(), step.begin(), step.end());
        auto output = ProcessRunner::run("/usr/sbin/ip", arguments);
        if (output.status != 0) return output.text;
    }
    return "";
}

// A member holds the relay's two ends and nothing else of the helper's: sendmsg with IP_PKTINFO
// naming the uplink, relayed sends to the uplink's network and taking the helper's descriptors
// put nothing from port 67 on the uplink's cable, and the relayed broadcast reaches the bench alone.
TEST_F(MemberHelper, AMembersSendsFromPort67LeaveByTheBenchCardAloneWhateverItTries) {
    auto setupError = built(*bench, {{"address", "add", "10.8.0.1/24", "dev", "en0"},
                                     {"link", "set", "peer0", "up"},
                                     {"link", "add", "enup", "type", "veth", "peer", "name", "uppeer"},
                                     {"address", "add", "10.9.0.1/24", "dev", "enup"},
                                     {"link", "set", "enup", "up"},
                                     {"link", "set", "uppeer", "up"},
                                     {"route", "add", "default", "via", "10.9.0.2", "dev", "enup"}});
    if (!setupError.empty()) GTEST_SKIP() << "cannot build the cards: " << setupError;

    std::string text;
    std::vector<std::vector<std::uint8_t>> onBench, onUplink;
    bench->inside([&] {
        int benchPeer = rawSocket("peer0"), uplinkPeer = rawSocket("uppeer");
        ASSERT_GE(benchPeer, 0);
        ASSERT_GE(uplinkPeer, 0);
        text = asNobody({*group}, [&] {
            ::close(benchPeer);
            ::close(uplinkPeer);
            auto answer = PrivilegeHelper::openServerSocket("en0", PrivilegeHelper::ServerPort::dhcp, installed->path);
            if (auto failure = std::get_if<PrivilegeHelper::Failure>(&answer))
                return TransportError(failure->operation, failure->code).description();
            auto socket = std::get<PrivilegeHelper::RelayedSocket>(answer);
            std::string found;
            if (privileges(socket.relay)["CapEff"] != "0000000000000000") found += "the helper kept a capability; ";
            auto uplink = static_cast<int>(::if_nametoindex("enup"));
            auto office = socketAddress(IPv4Address(10, 9, 0, 2), 68);
            for (int fd : {socket.fd, socket.sendFD}) {
                std::uint8_t mark = 0xa1;
                iovec vector{&mark, 1};
                alignas(cmsghdr) std::uint8_t control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
                msghdr message{};
                message.msg_name = &office;
                message.msg_namelen = sizeof office;
                message.msg_iov = &vector;
                message.msg_iovlen = 1;
                message.msg_control = control;
                message.msg_controllen = sizeof control;
                cmsghdr* part = CMSG_FIRSTHDR(&message);
                part->cmsg_level = IPPROTO_IP;
                part->cmsg_type = IP_PKTINFO;
                part->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
                in_pktinfo info{};
                info.ipi_ifindex = uplink;
                std::memcpy(CMSG_DATA(part), &info, sizeof info);
                // A Unix socket takes the message and ignores IP_PKTINFO; the helper drops what it is
                // not. The cables below tell where it went.
                ::sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
            }
            std::vector<std::uint8_t> toOffice{0xa2};
            sendRelayed(socket, toOffice, IPv4Address(10, 9, 0, 2), 68);
            int process = static_cast<int>(::syscall(SYS_pidfd_open, socket.relay, 0));
            for (int fd = 0; process >= 0 && fd < 32; ++fd) {
                int taken = static_cast<int>(::syscall(SYS_pidfd_getfd, process, fd, 0));
                if (taken >= 0) {
                    found += "took descriptor " + std::to_string(fd) + " of the helper; ";
                    ::close(taken);
                }
            }
            if (process >= 0) ::close(process);
            std::vector<std::uint8_t> offer(300, 0xa3);
            if (int code = sendRelayed(socket, offer, IPv4Address::broadcast, 68))
                found += "the broadcast was not sent: " + std::string(std::strerror(code));
            closeRelayedSocket(socket);
            return found.empty() ? std::string("held nothing but the relay") : found;
        });
        onBench = collect(benchPeer);
        onUplink = collect(uplinkPeer);
        ::close(benchPeer);
        ::close(uplinkPeer);
    });
    EXPECT_EQ(text, "held nothing but the relay");
    EXPECT_EQ(fromPort67(onUplink), std::vector<std::uint8_t>{});
    // The relayed send to the office's address went out of the bench card too, to nobody there.
    auto benchMarks = fromPort67(onBench);
    EXPECT_EQ(std::count(benchMarks.begin(), benchMarks.end(), 0xa3), 1);
    EXPECT_EQ(std::count(benchMarks.begin(), benchMarks.end(), 0xa1), 0);
}

// The card is checked again while it is held: once it gains a default route, a member's port 67
// and its watch both end with the sentence of the rule.
TEST_F(MemberHelper, AHeldPortAndWatchEndWithTheRulesSentenceWhenTheCardGainsADefaultRoute) {
    auto setupError = built(*bench, {{"address", "add", "10.8.0.1/24", "dev", "en0"}, {"link", "set", "peer0", "up"}});
    if (!setupError.empty()) GTEST_SKIP() << "cannot build the cards: " << setupError;

    int ready[2];
    ASSERT_EQ(::pipe2(ready, O_CLOEXEC), 0);
    // Adds the route once the member holds both (or gives up after a while).
    std::thread router([&] {
        pollfd polled{ready[0], POLLIN, 0};
        char byte = 0;
        if (::poll(&polled, 1, 20000) == 1 && ::read(ready[0], &byte, 1) == 1)
            ProcessRunner::run("/usr/sbin/ip",
                               {"-n", bench->name, "route", "add", "default", "via", "10.8.0.2", "dev", "en0"});
    });
    std::string text;
    bench->inside([&] {
        text = asNobody({*group}, [&] {
            auto answer = PrivilegeHelper::openServerSocket("en0", PrivilegeHelper::ServerPort::dhcp, installed->path);
            auto opened = openFrameWatch("en0", installed->path);
            auto socket = std::get_if<PrivilegeHelper::RelayedSocket>(&answer);
            auto watch = std::get_if<FrameWatch>(&opened);
            if (::write(ready[1], "+", 1) != 1) return std::string("could not tell the router");
            if (!socket || !watch) return std::string("not both held");
            std::optional<std::string> portEnd, watchEnd;
            std::vector<std::uint8_t> buffer(2048);
            for (int round = 0; round < 200 && (!portEnd || !watchEnd); ++round) {
                // An ended relay stays readable: only what is still held is waited for.
                pollfd polled[2] = {{portEnd ? -1 : socket->fd, POLLIN, 0}, {watchEnd ? -1 : watch->fd, POLLIN, 0}};
                ::poll(polled, 2, 100);
                if (!portEnd) {
                    auto got = receiveRelayed(*socket, buffer);
                    if (auto ended = std::get_if<RelayEnded>(&got)) portEnd = ended->reason;
                }
                if (!watchEnd) {
                    auto got = receiveFrame(*watch, buffer);
                    if (auto ended = std::get_if<WatchEnded>(&got)) watchEnd = ended->reason;
                }
            }
            closeRelayedSocket(*socket);
            closeFrameWatch(*watch);
            return "port: " + portEnd.value_or("held") + "\nwatch: " + watchEnd.value_or("held");
        });
    });
    ::close(ready[1]);
    router.join();
    ::close(ready[0]);
    BenchCardRule::Card routed;
    routed.name = "en0";
    routed.linkType = BenchCardRule::ethernetLinkType;
    routed.carriesDefaultRoute = true;
    auto sentence = BenchCardRule::refusal(routed).value_or("no refusal");
    EXPECT_EQ(text, "port: " + sentence + "\nwatch: " + sentence);
}

}  // namespace
