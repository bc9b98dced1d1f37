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

// The helper holding the card's socket let go of it: `reason` says why (the card stopped being a
// bench card), or is empty when the helper exited without a word. The socket is done for.
struct TransportEnded : TransportError {
    std::string reason;
    explicit TransportEnded(std::string reason);
};

}  // namespace anvil
