#pragma once
// The checks run before serving on a card: host facts gathered once, then judged as plain values.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/server_config.hpp"
#include "core/addressing/subnet.hpp"
#include "core/host/network_card.hpp"
#include "core/platform.hpp"

namespace anvil {

struct PreflightCheck {
    enum class ID { wired, foreignDHCP, adapterConfigured, subnetOverlap, vpnOverlap, port67, link, vmware };
    enum class Status { pass, warn, fail };
    // Set the named network service to the server's manual address.
    struct Fix {
        std::string service;
        friend bool operator==(const Fix&, const Fix&) = default;
    };

    ID id = ID::wired;
    Status status = Status::pass;
    std::string message;
    std::optional<Fix> fix;

    friend bool operator==(const PreflightCheck&, const PreflightCheck&) = default;
};

std::string_view rawValue(PreflightCheck::ID id);

struct Port67State {
    enum class Case { inUse, error, free };
    Case kind = Case::free;
    std::optional<std::string> holder;  // inUse only
    std::string error;                  // error only

    static Port67State inUse(std::optional<std::string> holder) { return {Case::inUse, std::move(holder), {}}; }
    static Port67State failed(std::string error) { return {Case::error, std::nullopt, std::move(error)}; }
    static Port67State available() { return {}; }

    friend bool operator==(const Port67State&, const Port67State&) = default;
};

struct PreflightInput {
    NetworkCard card;
    std::vector<InterfaceAddress> otherAddresses;
    ServerConfig config;
    Port67State port67;
    bool vmwareRunning = false;
};

namespace Preflight {

// Host operations; they block on sockets and child processes.
PreflightInput gather(const NetworkCard& card, const ServerConfig& config);
// The trial socket is bound to the card as the server's is, so a server that holds port 67 on
// another card only (libvirt's dnsmasq on virbr0) leaves it free; empty tries every card.
Port67State port67State(std::string_view cardName);
std::optional<std::string> port67Holder();
// Who holds a UDP port, as holder() names it, or nothing when it cannot be told.
std::optional<std::string> portHolder(int port);
bool vmwareRunning();

// Rows that name the system's own features (the Mac, System Settings, Internet Sharing) say what
// is true on the platform.
std::vector<PreflightCheck> evaluate(const PreflightInput& input, Platform platform = hostPlatform);
bool canStart(const std::vector<PreflightCheck>& checks);
// The mark shown before a row: "✓", "⚠" or "✗".
std::string_view symbol(PreflightCheck::Status status);
// The "name:pid" column of the first socket-table line whose local address ends in ".port"; one of
// DHCP Anvil's own programs reads "another DHCP Anvil (dhcpanvil-helper, process 812)".
std::optional<std::string> holder(std::string_view netstatText, int port);

// The owner of a socket, from /proc/<pid>/comm and the pid.
struct SocketOwner {
    std::string name;
    int pid = 0;
};
// The card each UDP socket on a local port is bound to (0: every card), from a sock_diag dump of
// inet_diag_msg replies.
std::vector<std::uint32_t> boundInterfaces(std::span<const std::uint8_t> sockDiagDump, int port);
// The socket-inode numbers of the UDP sockets on a local port, from /proc/net/udp or udp6 text.
std::vector<std::uint64_t> socketInodes(std::string_view procNetUDP, int port);
// The user owning each of those sockets, by inode.
std::map<std::uint64_t, std::uint64_t> socketUsers(std::string_view procNetUDP, int port);
// netstat-style lines ("udp4  0  0  *.67  *.*  name:pid") for the sockets on a port.
std::string socketTable(std::string_view procNetUDP, std::string_view procNetUDP6, int port,
                        const std::map<std::uint64_t, SocketOwner>& owners);

}  // namespace Preflight

}  // namespace anvil
