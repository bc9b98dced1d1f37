#pragma once
// A socket operation that failed, with the system's error number.
#include <stdexcept>
#include <string>

namespace anvil {

struct TransportError : std::runtime_error {
    std::string operation;
    int code = 0;

    TransportError(std::string operation, int code);
    std::string description() const { return what(); }

    friend bool operator==(const TransportError& a, const TransportError& b) {
        return a.operation == b.operation && a.code == b.code;
    }
};

}  // namespace anvil
