// dhcpanvil-helper: the one program of DHCP Anvil that holds capabilities (cap_net_bind_service
// and cap_net_raw). dhcpanvil and DHCPAnvilApp start it with one end of a Unix socket pair as
// descriptor 3 and send one request: "<card> 67\n" for the DHCP server socket, "<card> 69\n" for
// the TFTP server's listening socket, and no other port; or "<card> watch\n" to watch the cable.
// It serves members of the group dhcpanvil, and bench cards only: wired Ethernet cards that carry
// no default route in any table, are no port of a bridge or bond and are not stacked with a link
// that carries one (core/host/bench_card_rule.hpp, the rule the programs' card lists follow too).
// For a port it opens that socket of the card exactly as the server needs it; for a watch a packet
// socket on that card alone, with a locked kernel filter that passes only ARP, LLDP and IPv4 UDP to
// port 69 (core/host/watch_filter.hpp). Then it drops every capability and stays, keeping the
// socket to itself (it never passes a descriptor on), until the caller closes its end:
// - a watch: each frame the card receives goes to the caller as one message; it never sends a
//   frame and throws away whatever the caller writes.
// - a port: each datagram the port receives goes to the caller as one message on descriptor 3;
//   the caller asks for sends on descriptor 4, the second pair it passes for a port, and each send
//   leaves the socket with IP_PKTINFO naming the card's index, never anything the caller chose,
//   and with a broadcast only from port 67. A malformed request is not sent.
// One message at a time: when the caller does not read, messages are dropped, not kept. The
// messages are those of core/host/datagram_relay_frame.hpp. While it relays it listens to route
// and link changes and checks the card again on each; when the card stops being a bench card it
// sends one last message saying why and exits. It reads no environment variable, loads no
// plug-in, runs no other program and writes no file; it reads /etc/group, the links and routes of
// its network namespace over rtnetlink, and the card's folder in /sys/class/net.
//
// Replies, one line each:
//   "ok <interface index>\n"      accepted; the relayed messages follow
//   "error <errno> <operation>\n" a system call failed; the operation names it
//   "refused <reason>\n"          the request was not accepted
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/host/bench_card_rule.hpp"
#include "core/host/datagram_relay_frame.hpp"
#include "core/host/linux/bench_card_facts.hpp"
#include "core/host/watch_filter.hpp"

namespace {

constexpr int requestFD = 3;
// For a port, the caller's sends and their results.
constexpr int sendFD = 4;
constexpr unsigned short dhcpPort = 67;
constexpr unsigned short tftpPort = 69;
// A 15-byte name, a space, "67", "69" or "watch" and the newline fit well within this; a longer
// name still gets its own reason.
constexpr std::size_t longestRequest = 32;

void reply(const std::string& line) { ::send(requestFD, line.data(), line.size(), MSG_NOSIGNAL); }

int refuse(const std::string& reason) {
    reply("refused " + reason + "\n");
    return 1;
}

int fail(const std::string& operation, int code) {
    reply("error " + std::to_string(code) + " " + operation + "\n");
    return 1;
}

// A whole small file of the system, or nothing when it cannot be read or is larger than `limit`:
// a table cut short could hide the line that matters.
std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    std::string text;
    char chunk[4096];
    while (true) {
        ssize_t length = ::read(fd, chunk, sizeof chunk);
        if (length < 0 && errno == EINTR) continue;
        if (length <= 0 || text.size() + static_cast<std::size_t>(length) > limit) {
            ::close(fd);
            if (length == 0) return text;
            return std::nullopt;
        }
        text.append(chunk, static_cast<std::size_t>(length));
    }
}

// The group's number from /etc/group, read directly: the system group the package creates is
// always there, and no name-service module is loaded into this program.
std::optional<gid_t> benchGroupID() {
    auto table = readSmallFile("/etc/group", 1024 * 1024);
    if (!table) return std::nullopt;
    std::string prefix = std::string(anvil::BenchCardRule::group) + ":";
    std::size_t start = 0;
    while (start < table->size()) {
        auto end = table->find('\n', start);
        if (end == std::string::npos) end = table->size();
        std::string_view line(table->data() + start, end - start);
        start = end + 1;
        if (line.substr(0, prefix.size()) != prefix) continue;
        // name:password:number:members
        auto number = line.find(':', prefix.size());
        if (number == std::string_view::npos) return std::nullopt;
        auto digits = line.substr(number + 1, line.find(':', number + 1) - number - 1);
        if (digits.empty() || digits.size() > 9) return std::nullopt;
        gid_t value = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return std::nullopt;
            value = value * 10 + static_cast<gid_t>(c - '0');
        }
        return value;
    }
    return std::nullopt;
}

// The helper runs with its caller's ids: the caller is a bench user when one of its groups is
// the bench group. Root may do all of this itself anyway.
bool callerIsBenchUser() {
    if (::getuid() == 0) return true;
    auto bench = benchGroupID();
    if (!bench) return false;
    if (::getgid() == *bench || ::getegid() == *bench) return true;
    int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    count = ::getgroups(count, groups.data());
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == *bench) return true;
    return false;
}

bool isDirectory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// A small decimal number, the first line of a sysfs attribute.
std::optional<long> readNumber(const std::string& path) {
    auto text = readSmallFile(path, 64);
    if (!text) return std::nullopt;
    long value = 0;
    std::size_t digits = 0;
    for (char c : *text) {
        if (c == '\n') break;
        if (c < '0' || c > '9' || digits >= 9) return std::nullopt;
        value = value * 10 + (c - '0');
        ++digits;
    }
    if (digits == 0) return std::nullopt;
    return value;
}

// What the bench card rule needs to know of the card with this name and index: its links and the
// routes of every table from rtnetlink, its folder in /sys; nothing when it cannot all be read, so
// that a card is never served on a guess.
std::optional<anvil::BenchCardRule::Card> cardFacts(const std::string& name, unsigned index) {
    std::string base = "/sys/class/net/" + name;
    // /sys shows the cards of the network namespace it was mounted in, which need not be ours.
    if (readNumber(base + "/ifindex") != static_cast<long>(index)) return std::nullopt;
    auto card = anvil::BenchCardFacts::readLinkFacts(name, index);
    if (!card) return std::nullopt;
    card->wireless = isDirectory(base + "/wireless") || isDirectory(base + "/phy80211");
    return card;
}

// Gives up every capability for good, so that a relay that could be fooled holds nothing worth
// taking. Fails when the kernel still reports one afterwards.
int dropCapabilities() {
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return errno;
    // Kernels before 4.3 have no ambient set, and so none to clear.
    if (::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0) != 0 && errno != EINVAL) return errno;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) != 0) return errno;
    __user_cap_data_struct left[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, left) != 0) return errno;
    for (const auto& word : left)
        if (word.effective || word.permitted || word.inheritable) return EPERM;
    return 0;
}

// The watch's packet socket: no frame reaches it before the filter is locked in place, since
// protocol 0 receives nothing until the bind.
int watchSocket(const std::string& name, unsigned index, std::string& operation) {
    operation = "socket AF_PACKET";
    int fd = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sock_fprog filter = anvil::WatchFilter::attachable();
    operation = "setsockopt SO_ATTACH_FILTER";
    if (::setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &filter, sizeof filter) != 0) return -1;
    int on = 1;
    operation = "setsockopt SO_LOCK_FILTER";
    if (::setsockopt(fd, SOL_SOCKET, SO_LOCK_FILTER, &on, sizeof on) != 0) return -1;
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    address.sll_ifindex = static_cast<int>(index);
    operation = "bind packet socket to " + name;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return -1;
    unsigned char discarded[1];
    while (::recv(fd, discarded, sizeof discarded, MSG_DONTWAIT | MSG_TRUNC) >= 0) {
    }
    return fd;
}

// Why the card is no bench card (any more), or nothing while it is one.
std::optional<std::string> cardRefusal(const std::string& name, unsigned index) {
    auto card = cardFacts(name, index);
    if (!card) return "card " + name + " cannot be checked: its route tables or /sys/class/net cannot be read";
    return anvil::BenchCardRule::refusal(*card);
}

// Told of every link and route change, so that the card is checked again while it is held. Opened
// before the first check, so that no change falls between the two.
int changesSocket() {
    int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
    if (fd < 0) return -1;
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// After a burst of changes: why the card no longer qualifies, or nothing. The notifications only
// say that something changed; the rule reads the facts again. A card that went away is left to
// the caller, which sees it gone and closes its end.
std::optional<std::string> changedRefusal(int changes, const std::string& name, unsigned index) {
    unsigned char discarded[8192];
    // An overrun (ENOBUFS) lost notifications: all the more reason to check.
    for (int count = 0; count < 256; ++count)
        if (::recv(changes, discarded, sizeof discarded, MSG_DONTWAIT) < 0 && errno != ENOBUFS) break;
    if (::if_nametoindex(name.c_str()) != index) return std::nullopt;
    return cardRefusal(name, index);
}

int endRelay(const std::string& reason) {
    auto message = anvil::RelayFrame::ended(reason);
    ::send(requestFD, message.data(), message.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    return 0;
}

// Whether the caller closed its end (or the pair failed); anything it wrote there is thrown away.
bool callerLeft(unsigned char* buffer, std::size_t size) {
    ssize_t length = ::recv(requestFD, buffer, size, MSG_DONTWAIT | MSG_TRUNC);
    return length == 0 || (length < 0 && errno != EAGAIN && errno != EINTR);
}

bool sendFailed() { return errno != EAGAIN && errno != EWOULDBLOCK && errno != ENOBUFS && errno != EINTR; }

// Passes each frame the card receives to the caller until the caller closes its end, the card goes
// away or stops being a bench card. One frame at a time: when the caller does not keep up, frames
// are dropped here rather than kept.
int relayFrames(int packets, int changes, const std::string& name, unsigned index) {
    unsigned char frame[anvil::WatchFilter::snapLength];
    auto kind = anvil::RelayFrame::frameHeader();
    pollfd polled[3] = {{packets, POLLIN, 0}, {requestFD, POLLIN, 0}, {changes, POLLIN, 0}};
    while (true) {
        if (::poll(polled, 3, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if ((polled[1].revents & (POLLIN | POLLHUP | POLLERR)) && callerLeft(frame, sizeof frame)) return 0;
        if (polled[2].revents & POLLIN)
            if (auto reason = changedRefusal(changes, name, index)) return endRelay(*reason);
        if (polled[0].revents & (POLLIN | POLLERR)) {
            sockaddr_ll from{};
            socklen_t fromLength = sizeof from;
            ssize_t length = ::recvfrom(packets, frame, sizeof frame, MSG_DONTWAIT | MSG_TRUNC,
                                        reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (length < 0) {
                if (errno == ENETDOWN || errno == ENXIO || errno == ENODEV) return 0;
                continue;
            }
            if (from.sll_pkttype == PACKET_OUTGOING) continue;
            std::size_t kept = std::min(static_cast<std::size_t>(length), sizeof frame);
            iovec pieces[2] = {{kind.data(), kind.size()}, {frame, kept}};
            msghdr message{};
            message.msg_iov = pieces;
            message.msg_iovlen = 2;
            if (::sendmsg(requestFD, &message, MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && sendFailed()) return 0;
        }
    }
}

int watch(const std::string& name, unsigned index, int changes) {
    std::string operation;
    int packets = watchSocket(name, index, operation);
    if (packets < 0) return fail(operation, errno);
    if (int code = dropCapabilities()) return fail("drop capabilities", code);
    reply("ok " + std::to_string(index) + "\n");
    return relayFrames(packets, changes, name, index);
}

// Relays one datagram the port received, with where it came from and where it arrived.
// `dropped` counts those the caller had no room for.
void relayReceived(int socketFD, std::uint32_t& dropped) {
    static unsigned char payload[anvil::RelayFrame::largestPayload];
    alignas(cmsghdr) unsigned char control[256];
    sockaddr_in from{};
    iovec vector{payload, sizeof payload};
    msghdr received{};
    received.msg_name = &from;
    received.msg_namelen = sizeof from;
    received.msg_iov = &vector;
    received.msg_iovlen = 1;
    received.msg_control = control;
    received.msg_controllen = sizeof control;
    ssize_t length = ::recvmsg(socketFD, &received, MSG_DONTWAIT);
    if (length < 0) return;
    anvil::RelayFrame::DatagramHeader header;
    header.source = ntohl(from.sin_addr.s_addr);
    header.sourcePort = ntohs(from.sin_port);
    for (cmsghdr* part = CMSG_FIRSTHDR(&received); part; part = CMSG_NXTHDR(&received, part))
        if (part->cmsg_level == IPPROTO_IP && part->cmsg_type == IP_PKTINFO &&
            part->cmsg_len >= CMSG_LEN(sizeof(in_pktinfo))) {
            in_pktinfo info{};
            std::memcpy(&info, CMSG_DATA(part), sizeof info);
            header.interfaceIndex = static_cast<std::uint32_t>(info.ipi_ifindex);
            header.localAddress = ntohl(info.ipi_spec_dst.s_addr);
            header.destination = ntohl(info.ipi_addr.s_addr);
        }
    header.droppedBefore = dropped;
    auto head = anvil::RelayFrame::datagramHeader(header);
    iovec pieces[2] = {{head.data(), head.size()}, {payload, static_cast<std::size_t>(length)}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = 2;
    if (::sendmsg(requestFD, &message, MSG_DONTWAIT | MSG_NOSIGNAL) < 0)
        ++dropped;
    else
        dropped = 0;
}

// Why the caller may not send this datagram from the port, or 0: nothing on the bench lives at
// 0.0.0.0/8 or 127.0.0.0/8, and only the DHCP port answers by broadcast.
int sendProblem(const anvil::RelayFrame::SendHeader& header, unsigned short serverPort) {
    auto first = header.destination >> 24;
    if (header.port == 0 || first == 0 || first == 127) return EINVAL;
    bool broadcast = header.destination == 0xffffffffu || first >= 224;
    if (broadcast && serverPort != dhcpPort) return EACCES;
    return 0;
}

// Sends one datagram the caller asked for, out of the card and nowhere else, and tells the result.
void sendRequested(int socketFD, unsigned index, unsigned short serverPort) {
    static unsigned char request[anvil::RelayFrame::sendHeaderLength + anvil::RelayFrame::largestPayload];
    ssize_t length = ::recv(sendFD, request, sizeof request, MSG_DONTWAIT | MSG_TRUNC);
    if (length <= 0) return;
    int code = EINVAL;
    auto message = static_cast<std::size_t>(length) <= sizeof request
                       ? anvil::RelayFrame::read({request, static_cast<std::size_t>(length)})
                       : std::nullopt;
    auto* asked = message ? std::get_if<anvil::RelayFrame::Send>(&*message) : nullptr;
    if (asked && (code = sendProblem(asked->header, serverPort)) == 0) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(asked->header.port);
        to.sin_addr.s_addr = htonl(asked->header.destination);
        iovec vector{const_cast<unsigned char*>(asked->payload.data()), asked->payload.size()};
        alignas(cmsghdr) unsigned char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
        msghdr sent{};
        sent.msg_name = &to;
        sent.msg_namelen = sizeof to;
        sent.msg_iov = &vector;
        sent.msg_iovlen = 1;
        sent.msg_control = control;
        sent.msg_controllen = sizeof control;
        cmsghdr* part = CMSG_FIRSTHDR(&sent);
        part->cmsg_level = IPPROTO_IP;
        part->cmsg_type = IP_PKTINFO;
        part->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(index);
        std::memcpy(CMSG_DATA(part), &info, sizeof info);
        ssize_t written = ::sendmsg(socketFD, &sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        code = written < 0 ? errno : static_cast<std::size_t>(written) == asked->payload.size() ? 0 : EIO;
    }
    auto result = anvil::RelayFrame::sendResult(code);
    ::send(sendFD, result.data(), result.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
}

// Relays the port's datagrams both ways until the caller closes its end or the card stops being
// a bench card. A burst on one side gives way to the other after a few messages.
int relayDatagrams(int socketFD, int changes, const std::string& name, unsigned index, unsigned short serverPort) {
    constexpr int burst = 32;
    unsigned char discarded[64];
    std::uint32_t dropped = 0;
    pollfd polled[4] = {{socketFD, POLLIN, 0}, {requestFD, POLLIN, 0}, {sendFD, POLLIN, 0}, {changes, POLLIN, 0}};
    while (true) {
        if (::poll(polled, 4, -1) < 0) {
            if (errno == EINTR) continue;
            return 1;
        }
        if ((polled[1].revents & (POLLIN | POLLHUP | POLLERR)) && callerLeft(discarded, sizeof discarded)) return 0;
        if (polled[2].revents & (POLLHUP | POLLERR)) return 0;
        if (polled[3].revents & POLLIN)
            if (auto reason = changedRefusal(changes, name, index)) return endRelay(*reason);
        if (polled[2].revents & POLLIN)
            for (int count = 0; count < burst; ++count) sendRequested(socketFD, index, serverPort);
        if (polled[0].revents & (POLLIN | POLLERR))
            for (int count = 0; count < burst; ++count) relayReceived(socketFD, dropped);
    }
}

}  // namespace

int main() {
    // Anything else the caller left open is none of our business.
    ::close_range(sendFD + 1, ~0U, 0);
    int type = 0;
    socklen_t typeLength = sizeof type;
    if (::getsockopt(requestFD, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_SEQPACKET) {
        std::fputs(
            "dhcpanvil-helper: descriptor 3 is not the socket pair; dhcpanvil and DHCPAnvilApp start this "
            "program themselves\n",
            stderr);
        return 2;
    }

    char buffer[64];
    ssize_t length = ::recv(requestFD, buffer, sizeof buffer, MSG_TRUNC);
    if (length < 0) return fail("recv", errno);
    if (static_cast<std::size_t>(length) > longestRequest)
        return refuse("the request is longer than a card name and a port");
    if (!callerIsBenchUser()) return refuse(std::string(anvil::BenchCardRule::notInGroup));
    std::string request(buffer, static_cast<std::size_t>(length));
    if (request.empty() || request.back() != '\n')
        return refuse("the request is truncated: it does not end with a newline");
    request.pop_back();
    auto space = request.rfind(' ');
    if (space == std::string::npos) return refuse("the request is truncated: it names no port");

    std::string name = request.substr(0, space);
    std::string port = request.substr(space + 1);
    unsigned short serverPort = 0;
    bool watching = port == "watch";
    if (port == std::to_string(dhcpPort))
        serverPort = dhcpPort;
    else if (port == std::to_string(tftpPort))
        serverPort = tftpPort;
    else if (!watching)
        return refuse("the request names another port than 67 or 69");
    if (auto problem = anvil::BenchCardRule::nameProblem(name)) return refuse(*problem);
    unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) return fail("find interface " + name, ENXIO);
    int changes = changesSocket();
    if (changes < 0) return fail("listen to route changes", errno);
    if (auto problem = cardRefusal(name, index)) return refuse(*problem);
    if (watching) return watch(name, index, changes);
    if (::getsockopt(sendFD, SOL_SOCKET, SO_TYPE, &type, &typeLength) != 0 || type != SOCK_SEQPACKET)
        return refuse("descriptor 4 is not the pair for sends that a port needs");

    // The same steps, in the same order and with the same operation texts, as the server's own.
    // TFTP answers only the unicast requests sent to the card's address: no broadcast.
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket", errno);
    int on = 1;
    if (serverPort == dhcpPort && ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0)
        return fail("setsockopt SO_BROADCAST", errno);
    if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) return fail("setsockopt IP_PKTINFO", errno);
    if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), static_cast<socklen_t>(name.size())) != 0)
        return fail("setsockopt SO_BINDTODEVICE", errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(serverPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail("bind 0.0.0.0:" + std::to_string(serverPort), errno);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl O_NONBLOCK", errno);
    // The bound socket keeps its port; nothing else needs a capability from here on.
    if (int code = dropCapabilities()) return fail("drop capabilities", code);

    reply("ok " + std::to_string(index) + "\n");
    return relayDatagrams(fd, changes, name, index, serverPort);
}
