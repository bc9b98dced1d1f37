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
#include <thread>
#include <vector>

#include "core/host/bench_card_rule.hpp"
#include "core/host/privilege_helper.hpp"

namespace anvil {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The helper answers in milliseconds; a hung one must not hold the server's queue for long.
constexpr auto answerLimit = 5s;
constexpr int helperRequestFD = 3;

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

// A descriptor moved above the standard three: a program started with 0-2 closed gets its
// socket pair there, and the helper's own 0-2 (/dev/null) would then replace it before the
// move to descriptor 3.
bool liftAboveStandard(int& fd) {
    if (fd > STDERR_FILENO) return true;
    int lifted = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
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

pid_t spawnHelper(const std::string& helperPath, int childEnd, int& failure) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int standard : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        posix_spawn_file_actions_addopen(&actions, standard, "/dev/null", O_RDWR, 0);
    // dup2 onto the same number would keep close-on-exec; glibc clears it in that case too.
    posix_spawn_file_actions_adddup2(&actions, childEnd, helperRequestFD);
    posix_spawn_file_actions_addclosefrom_np(&actions, helperRequestFD + 1);

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

// Reads the one answer: its line, and the descriptor passed with it (or -1).
std::variant<PrivilegeHelper::Socket, PrivilegeHelper::Failure> readAnswer(int fd, Clock::time_point deadline) {
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

    int passed = -1;
    for (cmsghdr* header = CMSG_FIRSTHDR(&message); header; header = CMSG_NXTHDR(&message, header))
        if (header->cmsg_level == SOL_SOCKET && header->cmsg_type == SCM_RIGHTS &&
            header->cmsg_len >= CMSG_LEN(sizeof(int)))
            std::memcpy(&passed, CMSG_DATA(header), sizeof passed);

    std::string line(text, static_cast<std::size_t>(length));
    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (line.starts_with("ok ") && passed >= 0) {
        char* end = nullptr;
        unsigned long index = std::strtoul(line.c_str() + 3, &end, 10);
        if (end && *end == '\0' && index > 0 && index <= UINT32_MAX)
            return PrivilegeHelper::Socket{passed, static_cast<std::uint32_t>(index)};
    }
    if (passed >= 0) ::close(passed);
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

std::variant<PrivilegeHelper::Socket, PrivilegeHelper::Failure> PrivilegeHelper::openServerSocket(
    const std::string& interfaceName, ServerPort port, const std::string& helperPath) {
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) != 0) return Failure{"socketpair", errno};
    if (!liftAboveStandard(ends[0]) || !liftAboveStandard(ends[1])) {
        int code = errno;
        ::close(ends[0]);
        ::close(ends[1]);
        return Failure{"socketpair", code};
    }
    int failure = 0;
    pid_t child = spawnHelper(helperPath, ends[1], failure);
    ::close(ends[1]);
    if (child < 0) {
        ::close(ends[0]);
        if (failure == EACCES && !inGroupOf(helperPath))
            return Failure{notInGroupOperation("Starting dhcpanvil-helper"), failure};
        return Failure{"start " + helperPath, failure};
    }

    auto deadline = Clock::now() + answerLimit;
    std::string request = interfaceName + " " + std::to_string(static_cast<unsigned>(port)) + "\n";
    std::variant<Socket, Failure> answer;
    errno = 0;
    if (::send(ends[0], request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        answer = Failure{answerOperation, errno ? errno : EPROTO};
    else
        answer = readAnswer(ends[0], deadline);
    ::close(ends[0]);
    reap(child, deadline);
    return answer;
}

}  // namespace anvil
#endif
