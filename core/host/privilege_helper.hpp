#pragma once
// dhcpanvil-helper, the one program that may bind ports 67 and 69: where it lies, when it is
// needed, and asking it to hold a card's server socket. The programs themselves never hold a capability.
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <variant>

namespace anvil::PrivilegeHelper {

// The two ports the helper opens: the DHCP server's and the TFTP server's.
enum class ServerPort : std::uint16_t { dhcp = 67, tftp = 69 };

// A UDP socket bound to 0.0.0.0:67 (or :69) on one card that the helper keeps and relays: each
// datagram it receives arrives on `fd` (non-blocking), sends go through `sendFD`, and every send
// leaves by that card (core/host/datagram_relay.hpp). Both ends owned and close-on-exec; closing
// them ends the helper `relay`, which closeRelayedSocket waits for.
struct RelayedSocket {
    int fd = -1;
    int sendFD = -1;
    std::uint32_t interfaceIndex = 0;
    pid_t relay = -1;
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

// Starts the helper at `helperPath`, asks it to hold the socket of `interfaceName` on `port`, and
// waits at most a few seconds for the answer.
std::variant<RelayedSocket, Failure> openServerSocket(const std::string& interfaceName, ServerPort port,
                                                      const std::string& helperPath = path());

// The DHCP server socket.
inline std::variant<RelayedSocket, Failure> openServerSocket(const std::string& interfaceName,
                                                             const std::string& helperPath = path()) {
    return openServerSocket(interfaceName, ServerPort::dhcp, helperPath);
}

}  // namespace anvil::PrivilegeHelper
