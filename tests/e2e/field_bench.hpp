#pragma once
// A field bench in throwaway network namespaces: the server's "en…" veth card in one, real DHCP
// clients on the peer end in the other. Everything it makes is removed however a test ends.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/host/process_runner.hpp"

namespace anvil::field {

using namespace std::chrono_literals;

inline const std::string ipTool = "/usr/sbin/ip";

inline ProcessRunner::Output ip(const std::vector<std::string>& arguments) {
    return ProcessRunner::run(ipTool, arguments);
}

// A private folder under /tmp, deleted with its contents.
struct TempFolder {
    std::filesystem::path path;
    TempFolder() {
        char pattern[] = "/tmp/anvil-e2e-XXXXXX";
        if (::mkdtemp(pattern)) path = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
    std::string operator/(const std::string& name) const { return (path / name).string(); }
};

// busybox udhcpc's event script: puts the address it got on the card and prints one line per event.
constexpr const char* udhcpcAddressScript = R"(#!/bin/sh
case "$1" in
  deconfig) ip address flush dev "$interface" ;;
  bound|renew) ip address flush dev "$interface"; ip address add "$ip/${mask:-24}" dev "$interface" ;;
esac
echo "udhcpc-event $1 $ip"
)";

inline void writeFile(const std::string& path, const std::string& text, bool executable = false) {
    std::ofstream(path) << text;
    if (executable) std::filesystem::permissions(path, std::filesystem::perms::owner_all);
}

inline std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// A program run inside a namespace in a process group of its own; its output is collected line
// by line. Ended with SIGINT (then SIGKILL) when it goes out of scope.
class Child {
public:
    Child(const std::string& ns, const std::vector<std::string>& command,
          const std::vector<std::string>& environment = {})
        : Child(std::vector<std::string>{ipTool, "netns", "exec", ns}, command, environment) {}

    // `launcher` (a full path first) enters the namespaces, such as `nsenter -t <pid> -m -n`.
    Child(std::vector<std::string> launcher, const std::vector<std::string>& command,
          const std::vector<std::string>& environment) {
        int ends[2];
        if (::pipe2(ends, O_CLOEXEC) != 0) return;
        std::vector<std::string> arguments = std::move(launcher);
        arguments.push_back("/usr/bin/env");
        arguments.insert(arguments.end(), environment.begin(), environment.end());
        arguments.insert(arguments.end(), command.begin(), command.end());
        std::vector<char*> argv;
        for (auto& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::setpgid(0, 0);
            ::dup2(ends[1], STDOUT_FILENO);
            ::dup2(ends[1], STDERR_FILENO);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(ends[1]);
        if (pid_ < 0) {
            ::close(ends[0]);
            return;
        }
        ::setpgid(pid_, pid_);
        reader_ = std::thread([this, fd = ends[0]] { readLines(fd); });
    }
    ~Child() {
        stop();
        if (reader_.joinable()) reader_.join();
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) const {
        if (pid_ > 0 && !exited_) ::kill(pid_, number);
    }

    // Interrupts the program and waits (bounded) for it; returns its exit status, or -1.
    int stop(std::chrono::milliseconds grace = 5s) {
        if (pid_ <= 0) return -1;
        if (!exited_) {
            ::kill(-pid_, SIGINT);
            if (!waitForExit(grace)) {
                ::kill(-pid_, SIGKILL);
                waitForExit(2s);
            }
        }
        // What the program left behind in its group (a shell's background job ignores SIGINT)
        // would keep the output pipe open.
        ::kill(-pid_, SIGKILL);
        return status_;
    }

    bool waitForExit(std::chrono::milliseconds limit) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!exited_) {
            int status = 0;
            auto done = ::waitpid(pid_, &status, WNOHANG);
            if (done == pid_) {
                exited_ = true;
                status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            if (done < 0 || std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(20ms);
        }
        return true;
    }

    // The first line from index `from` on that contains `text`, or -1 when none came in time.
    int waitForLine(const std::string& text, std::chrono::milliseconds limit = 10s, int from = 0) {
        std::unique_lock lock(mutex_);
        int found = -1;
        changed_.wait_for(lock, limit, [&] {
            for (int index = from; index < static_cast<int>(lines_.size()); ++index)
                if (lines_[index].find(text) != std::string::npos) {
                    found = index;
                    return true;
                }
            return closed_;
        });
        return found;
    }

    int lineCount() {
        std::lock_guard lock(mutex_);
        return static_cast<int>(lines_.size());
    }

    std::string output() {
        std::lock_guard lock(mutex_);
        std::string text;
        for (const auto& line : lines_) text += line + "\n";
        return text;
    }

private:
    void readLines(int fd) {
        std::string pending;
        char buffer[4096];
        ssize_t count;
        while ((count = ::read(fd, buffer, sizeof buffer)) > 0) {
            pending.append(buffer, static_cast<std::size_t>(count));
            std::size_t end;
            std::lock_guard lock(mutex_);
            while ((end = pending.find('\n')) != std::string::npos) {
                lines_.push_back(pending.substr(0, end));
                pending.erase(0, end + 1);
            }
            changed_.notify_all();
        }
        ::close(fd);
        std::lock_guard lock(mutex_);
        if (!pending.empty()) lines_.push_back(pending);
        closed_ = true;
        changed_.notify_all();
    }

    pid_t pid_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool closed_ = false;
};

// The server namespace with the card "enf<pid>" at 10.66.0.1/24 (or the subnet given) and the
// client namespace with its peer end "cli0"; the hardware addresses are fixed so tests can find
// their leases.
struct Namespaces {
    std::string tag = std::to_string(::getpid() % 100000);
    std::string serverNS = "anvil-srv-" + tag;
    std::string clientNS = "anvil-cli-" + tag;
    std::string card = "enf" + tag;
    std::string cardMAC = "02:66:00:00:00:01";
    std::string clientMAC = "02:66:00:00:00:02";
    std::string cardSubnet;
    std::string error;

    explicit Namespaces(std::string subnet = "10.66.0.1/24") : cardSubnet(std::move(subnet)) {
        run({"netns", "add", serverNS});
        run({"netns", "add", clientNS});
        plugCard(card);
        run({"-n", serverNS, "link", "set", "lo", "up"});
        run({"-n", clientNS, "link", "set", "lo", "up"});
    }
    ~Namespaces() {
        ip({"netns", "delete", serverNS});
        ip({"netns", "delete", clientNS});
    }

    // The veth pair, created again under `name` with the same hardware addresses.
    void plugCard(const std::string& name) {
        run({"link", "add", name, "netns", serverNS, "address", cardMAC, "type", "veth", "peer", "name", "cli0",
             "netns", clientNS, "address", clientMAC});
        run({"-n", serverNS, "address", "add", cardSubnet, "dev", name});
        run({"-n", serverNS, "link", "set", name, "up"});
        run({"-n", clientNS, "link", "set", "cli0", "up"});
    }

    void run(const std::vector<std::string>& arguments) {
        auto output = ip(arguments);
        if (output.status != 0 && error.empty()) error = "ip " + arguments[0] + " " + arguments[1] + ": " + output.text;
    }
};

}  // namespace anvil::field
