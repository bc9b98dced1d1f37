#pragma once
// Runs a short system tool and collects what it printed.
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace anvil::ProcessRunner {

struct Output {
    std::int32_t status = -1;  // -1 when the child did not start or was stopped at its time limit
    std::string text;          // standard output and standard error as they arrived, or the error
    bool timedOut = false;     // stopped at its time limit; `text` says so

    friend bool operator==(const Output&, const Output&) = default;
};

inline constexpr std::chrono::milliseconds defaultTimeLimit{5000};

// Blocks until the child has exited, or stops it (and its process group) at the time limit. The
// child gets no input and starts with no signal blocked or ignored.
Output run(const std::string& path, const std::vector<std::string>& arguments,
           std::chrono::milliseconds timeLimit = defaultTimeLimit);

// Starts a program that outlives the call (a settings window), in a session of its own and with the
// same clean signal state; it is reaped off the caller's thread. False when it could not start.
bool launch(const std::string& path, const std::vector<std::string>& arguments);

// The result of a child stopped at its time limit: "nmcli did not finish within 5 seconds and was stopped."
Output timedOutOutput(const std::string& path, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeLimit);

// The bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string repairedUTF8(std::string_view bytes);

}  // namespace anvil::ProcessRunner
