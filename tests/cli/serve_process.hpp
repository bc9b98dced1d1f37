#pragma once
// A running `dhcpanvil serve`: the test acts while it serves, then interrupts it like Ctrl-C.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tool_process.hpp"

class ServeProcess {
public:
    // `launcher` runs the tool (such as `ip netns exec <name>`); `environment` adds variables.
    explicit ServeProcess(const std::vector<std::string>& arguments, const std::vector<std::string>& launcher = {},
                          const std::vector<std::pair<std::string, std::string>>& environment = {}) {
        outFD_ = mkstemp(outPath_);
        errFD_ = mkstemp(errPath_);
        child_ = fork();
        if (child_ == 0) {
            dup2(outFD_, 1);
            dup2(errFD_, 2);
            for (const auto& [name, value] : environment) setenv(name.c_str(), value.c_str(), 1);
            std::vector<char*> argv;
            for (const auto& word : launcher) argv.push_back(const_cast<char*>(word.c_str()));
            argv.push_back(const_cast<char*>(ANVIL_DHCPANVIL_PATH));
            for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~ServeProcess() {
        if (child_ > 0 && status_ < -1) {
            kill(child_, SIGKILL);
            waitpid(child_, nullptr, 0);
        }
        close(outFD_);
        close(errFD_);
        unlink(outPath_);
        unlink(errPath_);
    }
    ServeProcess(const ServeProcess&) = delete;
    ServeProcess& operator=(const ServeProcess&) = delete;

    pid_t pid() const { return child_; }
    std::string out() const { return readWhole(outPath_); }
    std::string err() const { return readWhole(errPath_); }

    // True once standard output holds the text; false when it did not come in time or the tool ended.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (out().find(text) != std::string::npos) return true;
            if (ended()) return out().find(text) != std::string::npos;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }

    // Waits for the tool to end on its own; the exit status, or -1 as for interrupt().
    int waitForExit(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!ended() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return status_ >= 0 ? status_ : -1;
    }

    // Sends SIGINT (or `signal`) and waits for the end; the exit status, or -1 when it did not exit
    // normally in time.
    int interrupt(std::chrono::milliseconds limit = std::chrono::seconds(5), int signal = SIGINT) {
        if (!ended()) kill(child_, signal);
        auto deadline = std::chrono::steady_clock::now() + limit;
        while (!ended() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return status_ >= 0 ? status_ : -1;
    }

private:
    bool ended() {
        if (status_ >= -1) return true;
        int wait = 0;
        if (waitpid(child_, &wait, WNOHANG) != child_) return false;
        status_ = WIFEXITED(wait) ? WEXITSTATUS(wait) : -1;
        return true;
    }

    char outPath_[32] = "/tmp/anvil-serve-out-XXXXXX";
    char errPath_[32] = "/tmp/anvil-serve-err-XXXXXX";
    int outFD_ = -1;
    int errFD_ = -1;
    pid_t child_ = -1;
    int status_ = -2;  // -2 running, -1 ended abnormally
};

// A UDP port on 127.0.0.1 that nobody holds right now.
inline std::uint16_t freeLoopbackPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}
