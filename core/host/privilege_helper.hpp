#pragma once
// dhcpanvil-helper, the one program that may bind port 67: where it lies, when it is needed, and
// asking it for a card's server socket. The programs themselves never hold a capability.
#include <cstdint>
#include <string>
#include <variant>

namespace anvil::PrivilegeHelper {

// An owned, non-blocking, close-on-exec UDP socket bound to 0.0.0.0:67 on one card.
struct Socket {
    int fd = -1;
    std::uint32_t interfaceIndex = 0;
};

// What failed, in the server socket's own operation words, with the system's error number.
struct Failure {
    std::string operation;
    int code = 0;
    friend bool operator==(const Failure&, const Failure&) = default;
};

// ../libexec/dhcpanvil/dhcpanvil-helper beside the running program; the build tree mirrors it.
std::string path();

// True when this process may open the socket itself: root, or both network capabilities effective.
bool notNeeded();

// Starts the helper at `helperPath`, asks for the socket of `interfaceName`, and waits at most a
// few seconds for the answer.
std::variant<Socket, Failure> openServerSocket(const std::string& interfaceName,
                                               const std::string& helperPath = path());

}  // namespace anvil::PrivilegeHelper
