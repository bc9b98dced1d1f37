// dhcpanvil-helper: the one program of DHCP Anvil that holds a capability (cap_net_bind_service).
// dhcpanvil and DHCPAnvilApp start it with one end of a Unix socket pair as descriptor 3 and send
// one request, "<card> 67\n". It opens the DHCP server socket of that card exactly as the server
// needs it, passes the descriptor back over the pair, and exits. It reads no environment
// variable, loads no plug-in, runs no other program and writes no file.
//
// Replies, one line each:
//   "ok <interface index>\n"      with the socket attached (SCM_RIGHTS)
//   "error <errno> <operation>\n" a socket call failed; the operation names it
//   "refused <reason>\n"          the request was not accepted
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int requestFD = 3;
constexpr unsigned short serverPort = 67;
// A 15-byte name, a space, "67" and the newline fit well within this; a longer name still gets
// its own reason.
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

// Why a card name is not served, or empty when it is. The kernel's own rules are looser; a card
// DHCP Anvil offers is named "en…" or "eth…" in letters and digits.
std::string nameProblem(const std::string& name) {
    if (name.empty()) return "the card name is empty";
    if (name.size() >= IFNAMSIZ) return "the card name is longer than 15 bytes";
    for (unsigned char c : name) {
        if (c < 0x20 || c == 0x7f) return "the card name contains a control character";
        if (c == ' ') return "the card name contains a space";
        if (c == '/') return "the card name contains \"/\"";
    }
    if (name.find("..") != std::string::npos) return "the card name contains \"..\"";
    for (unsigned char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return "the card name " + name + " contains a character other than a letter, a digit, \"-\" or \"_\"";
    if (name.rfind("en", 0) != 0 && name.rfind("eth", 0) != 0)
        return "card " + name + " is not offered: only cards named \"en…\" or \"eth…\" are served";
    return {};
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
    std::string request(buffer, static_cast<std::size_t>(length));
    if (request.empty() || request.back() != '\n')
        return refuse("the request is truncated: it does not end with a newline");
    request.pop_back();
    auto space = request.rfind(' ');
    if (space == std::string::npos) return refuse("the request is truncated: it names no port");

    std::string name = request.substr(0, space);
    std::string port = request.substr(space + 1);
    if (port != std::to_string(serverPort)) return refuse("the request names another port than 67");
    if (auto problem = nameProblem(name); !problem.empty()) return refuse(problem);
    unsigned index = ::if_nametoindex(name.c_str());
    if (index == 0) return fail("find interface " + name, ENXIO);

    // The same steps, in the same order and with the same operation texts, as the server's own.
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return fail("socket", errno);
    int on = 1;
    if (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) return fail("setsockopt SO_BROADCAST", errno);
    if (::setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on) != 0) return fail("setsockopt IP_PKTINFO", errno);
    if (::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, name.c_str(), static_cast<socklen_t>(name.size())) != 0)
        return fail("setsockopt SO_BINDTODEVICE", errno);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(serverPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail("bind 0.0.0.0:67", errno);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return fail("fcntl O_NONBLOCK", errno);

    reply("ok " + std::to_string(index) + "\n", fd);
    return 0;
}
