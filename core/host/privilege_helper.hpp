#pragma once
// dhcpanvil-helper, the one program that may bind ports 67 and 69: where it lies, when it is
// needed, and asking it for a card's server socket. The programs themselves never hold a capability.
#include <cstdint>
#include <string>
#include <variant>

namespace anvil::PrivilegeHelper {

// The two ports the helper opens: the DHCP server's and the TFTP server's.
enum class ServerPort : std::uint16_t { dhcp = 67, tftp = 69 };

// An owned, non-blocking, close-on-exec UDP socket bound to 0.0.0.0:67 (or :69) on one card, with
// IP_PKTINFO on; only the DHCP socket may send broadcasts.
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
// True when this process may open a packet socket itself: root, or cap_net_raw effective.
bool watchNotNeeded();

// Starts the helper at `helperPath`, asks for the socket of `interfaceName` on `port`, and waits at
// most a few seconds for the answer.
std::variant<Socket, Failure> openServerSocket(const std::string& interfaceName, ServerPort port,
                                               const std::string& helperPath = path());

// The DHCP server socket.
inline std::variant<Socket, Failure> openServerSocket(const std::string& interfaceName,
                                                      const std::string& helperPath = path()) {
    return openServerSocket(interfaceName, ServerPort::dhcp, helperPath);
}

}  // namespace anvil::PrivilegeHelper
