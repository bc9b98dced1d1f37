#if defined(__linux__)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <thread>

#include "core/host/process_runner.hpp"

extern char** environ;

namespace anvil {

namespace {

using Clock = std::chrono::steady_clock;

// Reaps the child, waiting at most `limit`; false when it is still there.
bool reap(pid_t child, int& status, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (true) {
        auto done = waitpid(child, &status, WNOHANG);
        if (done == child) return true;
        if (done < 0 && errno != EINTR) return true;  // nothing left to wait for
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void cleanSignals(posix_spawnattr_t& attributes, short extraFlags) {
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &all);
    posix_spawnattr_setflags(&attributes,
                             static_cast<short>(POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | extraFlags));
}

std::vector<char*> argumentVector(const std::string& path, const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

bool ProcessRunner::launch(const std::string& path, const std::vector<std::string>& arguments) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    cleanSignals(attributes, POSIX_SPAWN_SETSID);
    auto argv = argumentVector(path, arguments);
    pid_t child = 0;
    int failure = posix_spawn(&child, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (failure != 0) return false;
    std::thread([child] { waitpid(child, nullptr, 0); }).detach();
    return true;
}

ProcessRunner::Output ProcessRunner::run(const std::string& path, const std::vector<std::string>& arguments,
                                         std::chrono::milliseconds timeLimit) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return {-1, std::strerror(errno)};

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[1], STDERR_FILENO);

    // The child starts clean: no signal blocked or ignored because this process blocks SIGINT for
    // its own handling, and in a process group of its own so that a stuck tool and its children
    // can be stopped together.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    cleanSignals(attributes, POSIX_SPAWN_SETPGROUP);
    auto argv = argumentVector(path, arguments);

    pid_t child = 0;
    int failure = posix_spawn(&child, path.c_str(), &actions, &attributes, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(pipeEnds[1]);
    if (failure != 0) {
        close(pipeEnds[0]);
        return {-1, std::strerror(failure)};
    }

    auto deadline = Clock::now() + timeLimit;
    std::string bytes;
    char buffer[4096];
    bool timedOut = false;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd entry{pipeEnds[0], POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        auto count = read(pipeEnds[0], buffer, sizeof buffer);
        if (count > 0) {
            bytes.append(buffer, static_cast<std::size_t>(count));
        } else if (count < 0 && errno == EINTR) {
            continue;
        } else {
            break;
        }
    }
    close(pipeEnds[0]);

    int status = 0;
    if (!timedOut && !reap(child, status,
                           std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::max(deadline - Clock::now(), Clock::duration::zero()))))
        timedOut = true;
    if (timedOut) {
        kill(-child, SIGKILL);
        kill(child, SIGKILL);
        // A child this process may not signal (pkexec runs as root) is reaped later, off this path.
        if (!reap(child, status, std::chrono::milliseconds(500)))
            std::thread([child] { waitpid(child, nullptr, 0); }).detach();
        return timedOutOutput(path, arguments, timeLimit);
    }
    std::int32_t exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : WIFSIGNALED(status) ? WTERMSIG(status) : -1;
    return {exitStatus, repairedUTF8(bytes)};
}

}  // namespace anvil
#endif
