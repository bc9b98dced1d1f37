#pragma once
// A failure to read, move aside or write a lease file; its text is shown to the user.
#include <stdexcept>
#include <string>

namespace anvil {

struct LeaseFileError : std::runtime_error {
    // unsafe: another user could redirect or block the files there; nothing was touched.
    enum class Kind { read, moveAside, createDirectory, write, replace, lock, unsafe };

    Kind kind;
    int code;  // the system's error number, 0 when there is none

    LeaseFileError(Kind kind, int code, const std::string& description)
        : std::runtime_error(description), kind(kind), code(code) {}
    std::string description() const { return what(); }
};

}  // namespace anvil
