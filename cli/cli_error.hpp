#pragma once
// An error of the command-line tool; usage errors also print the usage and exit 2.
#include <stdexcept>
#include <string>

namespace anvil {

struct CLIError : std::runtime_error {
    bool isUsage = false;

    CLIError(const std::string& description, bool isUsage) : std::runtime_error(description), isUsage(isUsage) {}
    static CLIError usage(const std::string& description) { return CLIError(description, true); }
    static CLIError failure(const std::string& description) { return CLIError(description, false); }

    std::string description() const { return what(); }
};

}  // namespace anvil
