#if defined(__linux__)
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "core/host/bench_card_rule.hpp"
#include "core/host/linux/watch_relay.hpp"
#include "core/host/privilege_helper.hpp"

namespace anvil {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The helper answers in milliseconds; a hung one must not hold the server's queue for long.
constexpr auto answerLimit = 5s;
// A relaying helper exits as soon as it sees its end close; one that does not is killed.
constexpr auto relayEndLimit = 2s;
constexpr int helperRequestFD = 3;
constexpr int helperSendFD = 4;

const std::string answerOperation = "read the answer of dhcpanvil-helper";

// Read as "<sentence> Starting dhcpanvil-helper failed: Permission denied (errno 13)".
std::string notInGroupOperation(std::string_view what) {
    return std::string(BenchCardRule::notInGroup) + " " + std::string(what);
}

// Whether this process is in the group that owns `path`: a helper installed 0750 root:dhcpanvil
// cannot be started by anyone else, and that is what an EACCES then means.
bool inGroupOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return true;
    if (::getegid() == info.st_gid) return true;
    int count = ::getgroups(0, nullptr);
    if (count <= 0) return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(count));
    count = ::getgroups(count, groups.data());
    for (int i = 0; i < count; ++i)
        if (groups[static_cast<std::size_t>(i)] == info.st_gid) return true;
    return false;
}

// A descriptor moved above the helper's own: a program started with 0-2 closed gets its socket
// pairs there, and the helper's 0-2 (/dev/null) would then replace one before the moves to 3
// and 4, as would the move of one pair onto the other's number.
bool liftAboveStandard(int& fd) {
    if (fd > helperSendFD) return true;
    int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, helperSendFD + 1);
    if (lifted < 0) return false;
    ::close(fd);
    fd = lifted;
    return true;
}

// Waits for the helper to exit, killing it when it overstays the deadline.
void reap(pid_t child, Clock::time_point deadline) {
    int status = 0;
    while (true) {
        pid_t done = ::waitpid(child, &status, WNOHANG);
        if (done == child || (done < 0 && errno != EINTR)) return;
        if (Clock::now() >= deadline) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            return;
        }
        std::this_thread::sleep_for(1ms);
    }
}

// `sendEnd` (a port's second pair) becomes descriptor 4 when given.
pid_t spawnHelper(const std::string& helperPath, int childEnd, int sendEnd, int& failure) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        posix_spawn_file_actions_addopen(&actions, standard, "/dev/null", O_RDWR, 0);
    // dup2 onto the same number would keep close-on-exec; glibc clears it in that case too.
    // Both ends lie above 4 (makePair), so neither dup2 overwrites the other before it is copied.
    posix_spawn_file_actions_adddup2(&actions, childEnd, helperRequestFD);
    if (sendEnd >= 0) posix_spawn_file_actions_adddup2(&actions, sendEnd, helperSendFD);
    posix_spawn_file_actions_addclosefrom_np(&actions, helperSendFD + 1);

    // Whatever the caller blocks or handles (the command-line tool blocks SIGINT), the helper
    // starts with the defaults.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    std::string name = "dhcpanvil-helper";
    char* argv[] = {name.data(), nullptr};
    char* environment[] = {nullptr};
    pid_t child = -1;
    failure = ::posix_spawn(&child, helperPath.c_str(), &actions, &attributes, argv, environment);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    return failure == 0 ? child : -1;
}

// Waits for the one answer and reads its line and the descriptor passed with it (or -1).
struct Answer {
    std::string line;
    int passed = -1;
};
std::variant<Answer, PrivilegeHelper::Failure> readAnswerLine(int fd, Clock::time_point deadline) {
    pollfd polled{fd, POLLIN, 0};
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return PrivilegeHelper::Failure{answerOperation, ETIMEDOUT};
        int ready = ::poll(&polled, 1, static_cast<int>(left));
        if (ready > 0) break;
        if (ready < 0 && errno != EINTR) return PrivilegeHelper::Failure{answerOperation, errno};
    }

    char text[256];
    iovec vector{text, sizeof text - 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    ssize_t length = ::recvmsg(fd, &message, MSG_CMSG_CLOEXEC | MSG_DONTWAIT);
    if (length < 0) return PrivilegeHelper::Failure{answerOperation, errno};

    Answer answer;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len >= CMSG_LEN(sizeof(int))) {
            if (answer.passed >= 0) ::close(answer.passed);
            std::memcpy(&answer.passed, CMSG_DATA(header), sizeof answer.passed);
        }
    answer.line.assign(text, static_cast<std::size_t>(length));
    if (!answer.line.empty() && answer.line.back() == '\n') answer.line.pop_back();
    return answer;
}

// The interface index of an "ok <index>" line.
std::optional<std::uint32_t> acceptedIndex(const std::string& line) {
    if (!line.starts_with("ok ")) return std::nullopt;
    char* end = nullptr;
    unsigned long index = std::strtoul(line.c_str() + 3, &end, 10);
    if (end && *end == '\0' && index > 0 && index <= UINT32_MAX) return static_cast<std::uint32_t>(index);
    return std::nullopt;
}

// What an answer other than "ok" means, in the server socket's failure words.
PrivilegeHelper::Failure answerFailure(const std::string& line) {
    if (line.starts_with("error ")) {
        char* end = nullptr;
        long code = std::strtol(line.c_str() + 6, &end, 10);
        if (end && *end == ' ' && code > 0 && code < 4096)
            return PrivilegeHelper::Failure{std::string(end + 1), static_cast<int>(code)};
    }
    if (line == "refused " + std::string(BenchCardRule::notInGroup))
        return PrivilegeHelper::Failure{notInGroupOperation("Asking dhcpanvil-helper"), EPERM};
    if (line.starts_with("refused "))
        return PrivilegeHelper::Failure{"ask dhcpanvil-helper (" + line.substr(8) + ")", EPERM};
    // An empty line is the helper's end of the pair: it died before answering.
    return PrivilegeHelper::Failure{answerOperation, EPROTO};
}

// A socket pair whose ends both lie above the helper's descriptors, or the failure.
std::optional<PrivilegeHelper::Failure> makePair(int (&ends)[2]) {
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0)
        return PrivilegeHelper::Failure{"socketpair", errno};
    if (!liftAboveStandard(ends[0]) || !liftAboveStandard(ends[1])) {
        int code = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        return PrivilegeHelper::Failure{"socketpair", code};
    }
    return std::nullopt;
}

PrivilegeHelper::Failure startFailure(const std::string& helperPath, int failure) {
    if (failure == EACCES && !inGroupOf(helperPath))
        return PrivilegeHelper::Failure{notInGroupOperation("Starting dhcpanvil-helper"), failure};
    return PrivilegeHelper::Failure{"start " + helperPath, failure};
}

std::optional<PrivilegeHelper::Failure> sendRequest(int fd, const std::string& request) {
    errno = 0;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return PrivilegeHelper::Failure{answerOperation, errno ? errno : EPROTO};
    return std::nullopt;
}

// Sends the request and waits for "ok <index>"; the pair is then made non-blocking for the relay.
// Nothing of the helper's ever arrives with a descriptor: an answer that carries one is not its own.
std::variant<std::uint32_t, PrivilegeHelper::Failure> awaitAcceptance(int fd, const std::string& request,
                                                                      Clock::time_point deadline) {
    if (auto unsent = sendRequest(fd, request)) return *unsent;
    auto read = readAnswerLine(fd, deadline);
    if (auto readFailure = std::get_if<PrivilegeHelper::Failure>(&read)) return *readFailure;
    auto& answer = std::get<Answer>(read);
    if (answer.passed >= 0) {
        ::close(answer.passed);
        return PrivilegeHelper::Failure{answerOperation, EPROTO};
    }
    auto index = acceptedIndex(answer.line);
    if (!index) return answerFailure(answer.line);
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return PrivilegeHelper::Failure{"fcntl O_NONBLOCK", errno};
    return *index;
}

}  // namespace

std::string PrivilegeHelper::path() {
    std::error_code error;
    auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) return {};
    return (program.parent_path().parent_path() / "libexec" / "dhcpanvil" / "dhcpanvil-helper").string();
}

bool PrivilegeHelper::notNeeded() {
    if (::geteuid() == 0) return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    auto effective = [&](int capability) { return (data[capability / 32].effective >> (capability % 32)) & 1u; };
    return effective(CAP_NET_BIND_SERVICE) && effective(CAP_NET_RAW);
}

bool PrivilegeHelper::watchNotNeeded() {
    if (::geteuid() == 0) return true;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0) return false;
    return (data[CAP_NET_RAW / 32].effective >> (CAP_NET_RAW % 32)) & 1u;
}

std::variant<PrivilegeHelper::RelayedSocket, PrivilegeHelper::Failure> PrivilegeHelper::openServerSocket(
    const std::string& interfaceName, ServerPort port, const std::string& helperPath) {
    int ends[2], sends[2];
    if (auto failure = makePair(ends)) return *failure;
    if (auto failure = makePair(sends)) {
        ::close(ends[0]);
        ::close(ends[1]);
        return *failure;
    }
    int failure = 0;
    pid_t child = spawnHelper(helperPath, ends[1], sends[1], failure);
    ::close(ends[1]);
    ::close(sends[1]);
    if (child < 0) {
        ::close(ends[0]);
        ::close(sends[0]);
        return startFailure(helperPath, failure);
    }

    auto deadline = Clock::now() + answerLimit;
    std::string request = interfaceName + " " + std::to_string(static_cast<unsigned>(port)) + "\n";
    auto accepted = awaitAcceptance(ends[0], request, deadline);
    if (auto* index = std::get_if<std::uint32_t>(&accepted)) return RelayedSocket{ends[0], sends[0], *index, child};
    auto result = std::get<Failure>(accepted);
    ::close(ends[0]);
    ::close(sends[0]);
    reap(child, deadline);
    return result;
}

std::variant<FrameWatch, PrivilegeHelper::Failure> PrivilegeHelper::startWatchRelay(const std::string& interfaceName,
                                                                                    const std::string& helperPath) {
    int ends[2];
    if (auto failure = makePair(ends)) return *failure;
    int failure = 0;
    pid_t child = spawnHelper(helperPath, ends[1], -1, failure);
    ::close(ends[1]);
    if (child < 0) {
        ::close(ends[0]);
        return startFailure(helperPath, failure);
    }

    auto deadline = Clock::now() + answerLimit;
    auto accepted = awaitAcceptance(ends[0], interfaceName + " watch\n", deadline);
    if (auto* index = std::get_if<std::uint32_t>(&accepted)) return FrameWatch{ends[0], *index, child};
    auto result = std::get<Failure>(accepted);
    ::close(ends[0]);
    reap(child, deadline);
    return result;
}

void PrivilegeHelper::endWatchRelay(pid_t relay) {
    if (relay > 0) reap(relay, Clock::now() + relayEndLimit);
}

}  // namespace anvil
#endif
