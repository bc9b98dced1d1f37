// dhcpanvil-helper: the one program of DHCP Anvil that holds a capability (cap_net_bind_service).
// dhcpanvil and DHCPAnvilApp start it with one end of a Unix socket pair as descriptor 3 and send
// one request, "<card> 67\n" for the DHCP server socket or "<card> 69\n" for the TFTP server's
// listening socket, and no other port. It serves members of the group dhcpanvil, and bench cards
// only: wired Ethernet cards that carry no default route (core/host/bench_card_rule.hpp, the rule
// the programs' card lists follow too). It opens that socket of the card exactly as the server
// needs it, passes the descriptor back over the pair, and exits. It reads no environment
// variable, loads no plug-in, runs no other program and writes no file; it reads /etc/group, the
// route tables in /proc/net and the card's folder in /sys/class/net.
//
// Replies, one line each:
//   "ok <interface index>\n"      with the socket attached (SCM_RIGHTS)
//   "error <errno> <operation>\n" a socket call failed; the operation names it
//   "refused <reason>\n"          the request was not accepted
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/host/bench_card_rule.hpp"
#include "core/host/default_routes.hpp"

namespace {

constexpr int requestFD = 3;
constexpr unsigned short dhcpPort = 67;
constexpr unsigned short tftpPort = 69;
// A 15-byte name, a space, "67" or "69" and the newline fit well within this; a longer name still
// gets its own reason.
constexpr std::size_t longestRequest = 32;

void reply(const std::string& line, int passed = -1) {
    iovec vector{const_cast<char*>(line.data()), line.size()};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    if (passed >= 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        std::memcpy(CMSG_DATA(header), &passed, sizeof passed);
    }
    ::sendmsg(requestFD, &message, MSG_NOSIGNAL);
}

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

// What the bench card rule needs to know of the card with this name and index; nothing when it
// cannot all be read, so that a card is never served on a guess.
std::optional<anvil::BenchCardRule::Card> cardFacts(const std::string& name, unsigned index) {
    constexpr std::size_t routeTableLimit = 4 * 1024 * 1024;
    auto ipv4 = readSmallFile("/proc/net/route", routeTableLimit);
    // A kernel without IPv6 has no IPv6 table, and no IPv6 default route either.
    auto ipv6 = readSmallFile("/proc/net/ipv6_route", routeTableLimit);
    if (!ipv4 || (!ipv6 && ::access("/proc/net/ipv6_route", F_OK) == 0)) return std::nullopt;
    std::string base = "/sys/class/net/" + name;
    // /sys shows the cards of the network namespace it was mounted in, which need not be ours.
    if (readNumber(base + "/ifindex") != static_cast<long>(index)) return std::nullopt;
    anvil::BenchCardRule::Card card;
    card.name = name;
    if (auto type = readNumber(base + "/type")) card.linkType = static_cast<int>(*type);
    card.wireless = isDirectory(base + "/wireless") || isDirectory(base + "/phy80211");
    card.bridge = isDirectory(base + "/bridge");
    card.carriesDefaultRoute = anvil::DefaultRoutes::carries(name, *ipv4, ipv6.value_or(""));
    return card;
}

}  // namespace

int main() {
    // Anything else the caller left open is none of our business.
    ::close_range(requestFD + 1, ~0U, 0);
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
    if (port == std::to_string(dhcpPort))
        serverPort = dhcpPort;
    else if (port == std::to_string(tftpPort))
        serverPort = tftpPort;
    else
        return refuse("the request names another port than 67 or 69");
    if (auto problem = anvil::BenchCardRule::nameProblem(name)) return refuse(*problem);
    unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) return fail("find interface " + name, ENXIO);
    auto card = cardFacts(name, index);
    if (!card) return refuse("card " + name + " cannot be checked: its route tables or /sys/class/net cannot be read");
    if (auto problem = anvil::BenchCardRule::refusal(*card)) return refuse(*problem);

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

    reply("ok " + std::to_string(index) + "\n", fd);
    return 0;
}
