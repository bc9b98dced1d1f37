#pragma once
// Runs a short system tool and collects what it printed.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace anvil::ProcessRunner {

struct Output {
    std::int32_t status = -1;  // -1 when the child did not start
    std::string text;          // standard output and standard error as they arrived, or the start error

    friend bool operator==(const Output&, const Output&) = default;
};

// Blocks until the child has exited; no input, no time limit.
Output run(const std::string& path, const std::vector<std::string>& arguments);

// The bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string repairedUTF8(std::string_view bytes);

}  // namespace anvil::ProcessRunner
