#if defined(__linux__)
#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>
#include <set>

#include "core/host/interfaces.hpp"
#include "core/host/linux/kernel_services.hpp"
#include "core/host/linux/netlink_socket.hpp"
#include "core/host/linux/text_file.hpp"
#include "core/host/preflight.hpp"
#include "core/host/process_runner.hpp"
#include "core/host/socket_address.hpp"

namespace anvil {

namespace {

constexpr int dhcpServerPort = 67;

// A busy host has many UDP sockets; a table past this ceiling is read only in part.
constexpr std::size_t socketTableLimit = 32 * 1024 * 1024, commandNameLimit = 256;

std::string readText(const std::string& path, std::size_t limit) {
    return LinuxHost::readTextFile(path, limit).value_or("");
}

// The real user of a process, from /proc/<pid>/status (readable for every process).
std::optional<std::uint64_t> processUser(std::string_view pid) {
    auto status = readText("/proc/" + std::string(pid) + "/status", 4096);
    auto at = status.find("\nUid:");
    if (at == std::string::npos) return std::nullopt;
    return std::strtoull(status.c_str() + at + 5, nullptr, 10);
}

// Which processes hold these socket inodes, from /proc/<pid>/fd. A helper holding a port keeps
// its descriptors from everyone but root (it started with capabilities); its socket belongs to
// the user it serves, which tells it apart.
std::map<std::uint64_t, Preflight::SocketOwner> ownersOf(const std::set<std::uint64_t>& inodes,
                                                         const std::map<std::uint64_t, std::uint64_t>& users) {
    std::map<std::uint64_t, Preflight::SocketOwner> owners;
    if (inodes.empty()) return owners;
    DIR* processes = opendir("/proc");
    if (!processes) return owners;
    while (auto* process = readdir(processes)) {
        std::string_view pidText = process->d_name;
        if (pidText.empty() || pidText.find_first_not_of("0123456789") != std::string_view::npos) continue;
        auto fdFolder = "/proc/" + std::string(pidText) + "/fd";
        DIR* descriptors = opendir(fdFolder.c_str());
        if (!descriptors) {
            auto name = readText("/proc/" + std::string(pidText) + "/comm", commandNameLimit);
            auto user = processUser(pidText);
            if (name != "dhcpanvil-helpe\n" || !user) continue;
            for (auto inode : inodes)
                if (!owners.count(inode) && users.count(inode) && users.at(inode) == *user) {
                    owners[inode] = {"dhcpanvil-helper", std::atoi(std::string(pidText).c_str())};
                    break;
                }
            continue;
        }
        while (auto* descriptor = readdir(descriptors)) {
            char target[64] = {};
            auto path = fdFolder + "/" + descriptor->d_name;
            auto length = readlink(path.c_str(), target, sizeof target - 1);
            if (length <= 0) continue;
            std::string_view link(target, static_cast<std::size_t>(length));
            constexpr std::string_view prefix = "socket:[";
            if (link.substr(0, prefix.size()) != prefix || link.back() != ']') continue;
            std::uint64_t inode = std::strtoull(std::string(link.substr(prefix.size())).c_str(), nullptr, 10);
            if (!inodes.count(inode) || owners.count(inode)) continue;
            auto name = readText("/proc/" + std::string(pidText) + "/comm", commandNameLimit);
            if (!name.empty() && name.back() == '\n') name.pop_back();
            owners[inode] = {name, std::atoi(std::string(pidText).c_str())};
        }
        closedir(descriptors);
        if (owners.size() == inodes.size()) break;
    }
    closedir(processes);
    return owners;
}

std::string socketTableText(int port) {
    auto udp = readText("/proc/net/udp", socketTableLimit);
    auto udp6 = readText("/proc/net/udp6", socketTableLimit);
    std::set<std::uint64_t> inodes;
    for (auto inode : Preflight::socketInodes(udp, port)) inodes.insert(inode);
    for (auto inode : Preflight::socketInodes(udp6, port)) inodes.insert(inode);
    return Preflight::socketTable(udp, udp6, port, ownersOf(inodes, Preflight::socketUsers(udp, port)));
}

// Whether a UDP socket on the port takes it from this card (index 0: from any card): one bound to
// every card or to this one.
// sock_diag tells every process, unlike a bind, which needs the right to port 67.
std::optional<bool> portTakenOnCard(int port, std::uint32_t cardIndex) {
    bool taken = false;
    for (std::uint8_t family : {std::uint8_t(AF_INET), std::uint8_t(AF_INET6)}) {
        inet_diag_req_v2 request{};
        request.sdiag_family = family;
        request.sdiag_protocol = IPPROTO_UDP;
        request.idiag_states = ~0u;
        auto dump = netlink::dump(SOCK_DIAG_BY_FAMILY,
                                  {reinterpret_cast<const std::uint8_t*>(&request), sizeof request}, NETLINK_SOCK_DIAG);
        if (!dump) return std::nullopt;
        for (auto bound : Preflight::boundInterfaces(*dump, port))
            if (cardIndex == 0 || bound == 0 || bound == cardIndex) taken = true;
    }
    return taken;
}

}  // namespace

Port67State Preflight::port67State(std::string_view cardName) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) return Port67State::failed(std::strerror(errno));
    std::string card(cardName);
    auto cardIndex = card.empty() ? 0u : if_nametoindex(card.c_str());
    // Kernels before 5.7 let only privileged programs bind to a card; they try every card, as before.
    if (cardIndex != 0 &&
        setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, card.c_str(), static_cast<socklen_t>(card.size())) != 0 &&
        errno != EPERM) {
        int error = errno;
        close(fd);
        return Port67State::failed(std::strerror(error));
    }
    auto address = socketAddress(IPv4Address::zero, dhcpServerPort);
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        close(fd);
        return Port67State::available();
    }
    int error = errno;
    if (error == EADDRINUSE) {
        auto holder = Preflight::holder(socketTableText(dhcpServerPort), dhcpServerPort);
        close(fd);
        return Port67State::inUse(holder);
    }
    close(fd);
    // A program without the right to bind port 67 serves through dhcpanvil-helper; the socket
    // tables tell whether another program holds the port.
    if (error == EACCES) {
        auto taken = portTakenOnCard(dhcpServerPort, cardIndex);
        if (!taken)
            taken = !Preflight::socketInodes(readText("/proc/net/udp", socketTableLimit), dhcpServerPort).empty() ||
                    !Preflight::socketInodes(readText("/proc/net/udp6", socketTableLimit), dhcpServerPort).empty();
        if (!*taken) return Port67State::available();
        return Port67State::inUse(Preflight::holder(socketTableText(dhcpServerPort), dhcpServerPort));
    }
    return Port67State::failed(std::strerror(error));
}

std::optional<std::string> Preflight::port67Holder() { return portHolder(dhcpServerPort); }

std::optional<std::string> Preflight::portHolder(int port) { return holder(socketTableText(port), port); }

bool Preflight::vmwareRunning() {
    return ProcessRunner::run("/usr/bin/pgrep", {"-f", "vmware-usbarbitrator|vmnet-bridge"}).status == 0;
}

PreflightInput Preflight::gather(const NetworkCard& card, const ServerConfig& config) {
    PreflightInput input;
    input.card = card;
    // A card that is its own service may carry several fixed addresses: the server's counts.
    if (!card.serviceID && card.serviceName == card.bsdName) {
        if (auto index = if_nametoindex(card.bsdName.c_str()); index != 0) {
            auto services = LinuxHost::kernelServices({{static_cast<int>(index), card.bsdName}}, config.serverIP);
            if (auto found = services.find(card.bsdName); found != services.end())
                input.card.configMethod = found->second.method;
        }
    }
    input.otherAddresses = Interfaces::interfaceAddresses();
    input.config = config;
    input.port67 = port67State(card.bsdName);
    input.vmwareRunning = vmwareRunning();
    return input;
}

}  // namespace anvil
#endif
