#include "core/host/preflight.hpp"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

#include "core/addressing/text_pieces.hpp"
#include "core/host/loopback_name.hpp"
#include "core/host/netlink_bytes.hpp"

namespace anvil {

namespace {

using Check = PreflightCheck;
using Status = PreflightCheck::Status;

bool agreesOnPrefix(IPv4Address a, IPv4Address b, int bits) {
    auto mask = Subnet::maskOf(bits);
    return ((a.value ^ b.value) & mask.value) == 0;
}

std::string networkText(IPv4Address address, int prefix) {
    return IPv4Address{address.value & Subnet::maskOf(prefix).value}.description() + "/" + std::to_string(prefix);
}

// Columns at every run of two or more whitespace characters.
std::vector<std::string_view> columns(std::string_view line) {
    std::vector<std::string_view> found;
    std::size_t start = 0, i = 0;
    auto isSpace = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    while (i < line.size()) {
        if (isSpace(line[i]) && i + 1 < line.size() && isSpace(line[i + 1])) {
            if (i > start) found.push_back(line.substr(start, i - start));
            while (i < line.size() && isSpace(line[i])) ++i;
            start = i;
        } else {
            ++i;
        }
    }
    if (start < line.size()) found.push_back(line.substr(start));
    return found;
}

bool isProcessColumn(std::string_view column) {
    if (column.find('*') != std::string_view::npos) return false;
    auto colon = column.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == column.size()) return false;
    return std::all_of(column.begin() + static_cast<long>(colon) + 1, column.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<std::uint64_t> hexNumber(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<std::uint64_t> decimalNumber(std::string_view text) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// A holder column of our own programs says so: with the helper holding the port, the holder is a
// DHCP Anvil run (a member's serving), not another program. /proc/<pid>/comm keeps 15 bytes.
std::string ownName(std::string_view column) {
    auto colon = column.rfind(':');
    auto name = column.substr(0, colon);
    for (std::string_view own : {"dhcpanvil-helpe", "dhcpanvil-helper", "dhcpanvil", "DHCPAnvilApp"})
        if (name == own) {
            std::string shown = name == "dhcpanvil-helpe" ? "dhcpanvil-helper" : std::string(name);
            return "another DHCP Anvil (" + shown + ", process " + std::string(column.substr(colon + 1)) + ")";
        }
    return std::string(column);
}

struct UDPLine {
    std::string localAddress;  // netstat form: "*.67", "10.0.0.1.67", "::1.67"
    std::string receiveQueue, sendQueue;
    std::uint64_t inode = 0;
    std::uint64_t user = 0;
};

std::vector<std::string_view> fields(std::string_view line) {
    std::vector<std::string_view> found;
    for (auto piece : splitText(line, ' ', EmptyPieces::drop))
        if (!piece.empty()) found.push_back(piece);
    return found;
}

// /proc/net/udp{,6}: "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid timeout inode".
std::vector<UDPLine> udpLines(std::string_view text, int port, bool isIPv6) {
    std::vector<UDPLine> found;
    for (auto line : splitText(text, '\n', EmptyPieces::drop)) {
        auto parts = fields(line);
        if (parts.size() < 10) continue;
        auto local = parts[1];
        auto colon = local.rfind(':');
        if (colon == std::string_view::npos) continue;
        auto localPort = hexNumber(local.substr(colon + 1));
        auto inode = decimalNumber(parts[9]);
        if (!localPort || !inode || *localPort != static_cast<std::uint64_t>(port)) continue;
        auto hexAddress = local.substr(0, colon);
        UDPLine entry;
        entry.inode = *inode;
        entry.user = decimalNumber(parts[7]).value_or(0);
        if (hexAddress.find_first_not_of('0') == std::string_view::npos) {
            entry.localAddress = "*";
        } else if (!isIPv6 && hexAddress.size() == 8) {
            // The kernel prints the address's network-order bytes read as a number of this host.
            auto word = static_cast<std::uint32_t>(hexNumber(hexAddress).value_or(0));
            std::uint8_t bytes[4];
            std::memcpy(bytes, &word, sizeof word);
            entry.localAddress = IPv4Address(bytes[0], bytes[1], bytes[2], bytes[3]).description();
        } else if (isIPv6 && hexAddress.size() == 32) {
            // Four host-order words, as for IPv4.
            std::uint8_t bytes[16];
            for (std::size_t word = 0; word < 4; ++word) {
                auto value = static_cast<std::uint32_t>(hexNumber(hexAddress.substr(word * 8, 8)).value_or(0));
                std::memcpy(bytes + word * 4, &value, sizeof value);
            }
            char buffer[INET6_ADDRSTRLEN] = {};
            inet_ntop(AF_INET6, bytes, buffer, sizeof buffer);
            entry.localAddress = buffer;
        } else {
            entry.localAddress = std::string(hexAddress);
        }
        entry.localAddress += '.';
        entry.localAddress += std::to_string(port);
        auto queues = splitText(parts[4], ':', EmptyPieces::keep);
        entry.sendQueue = queues.size() == 2 ? std::to_string(hexNumber(queues[0]).value_or(0)) : "0";
        entry.receiveQueue = queues.size() == 2 ? std::to_string(hexNumber(queues[1]).value_or(0)) : "0";
        found.push_back(entry);
    }
    return found;
}

// A process name must stay one column: no runs of blanks, no line breaks.
std::string columnSafe(std::string_view name) {
    std::string safe;
    for (char c : name) {
        bool blank = std::isspace(static_cast<unsigned char>(c)) != 0;
        if (blank && (safe.empty() || safe.back() == ' ')) continue;
        safe += blank ? ' ' : c;
    }
    while (!safe.empty() && safe.back() == ' ') safe.pop_back();
    return safe.empty() ? "?" : safe;
}

// The texts that differ between platforms, in one place.
struct PlatformTexts {
    std::string_view isPrimary, wiredPass, addService, portInUseAdvice;
};

PlatformTexts textsFor(Platform platform) {
    if (platform == Platform::macOS)
        return {" is the Mac's main internet connection.", "Wired card, not the Mac's internet route",
                ". Add it in System Settings > Network.",
                ". Turn off Internet Sharing or stop the VM's shared network."};
    return {" is this computer's main internet connection.", "Wired card, not this computer's internet route",
            ". Add a wired connection for it in the network settings.",
            ". Stop the program that serves DHCP there (dnsmasq, libvirt's network, a NetworkManager shared "
            "connection)."};
}

}  // namespace

std::string_view rawValue(PreflightCheck::ID id) {
    switch (id) {
        case Check::ID::wired: return "wired";
        case Check::ID::foreignDHCP: return "foreignDHCP";
        case Check::ID::adapterConfigured: return "adapterConfigured";
        case Check::ID::subnetOverlap: return "subnetOverlap";
        case Check::ID::vpnOverlap: return "vpnOverlap";
        case Check::ID::port67: return "port67";
        case Check::ID::link: return "link";
        case Check::ID::vmware: return "vmware";
    }
    return "wired";
}

std::vector<PreflightCheck> Preflight::evaluate(const PreflightInput& input, Platform platform) {
    auto texts = textsFor(platform);
    const auto& card = input.card;
    const auto& config = input.config;
    auto serverText = config.serverIP.description() + "/" + std::to_string(config.prefixLength);
    std::vector<PreflightCheck> rows;

    if (card.kind != NetworkCard::Kind::ethernet)
        rows.push_back({Check::ID::wired, Status::fail, card.displayName + " is not a wired card.", {}});
    else if (card.isPrimary)
        rows.push_back({Check::ID::wired, Status::fail, card.displayName + std::string(texts.isPrimary), {}});
    else
        rows.push_back({Check::ID::wired, Status::pass, std::string(texts.wiredPass), {}});

    std::optional<IPv4Address> foreignAddress;
    if (card.configMethod.kind == NetworkCard::ConfigMethod::Case::dhcp) {
        for (const auto& subnet : card.addresses)
            if (!subnet.address.isLinkLocal()) {
                foreignAddress = subnet.address;
                break;
            }
    }
    if (foreignAddress)
        rows.push_back(
            {Check::ID::foreignDHCP,
             Status::fail,
             "This card is on a network that already has a DHCP server (it got " + foreignAddress->description() + ").",
             {}});
    else
        rows.push_back({Check::ID::foreignDHCP, Status::pass, "No other DHCP server has configured this card", {}});

    const auto& method = card.configMethod;
    if (method.kind == NetworkCard::ConfigMethod::Case::manual && method.ip == config.serverIP &&
        method.mask == config.mask())
        rows.push_back({Check::ID::adapterConfigured,
                        Status::pass,
                        card.serviceName.value_or(card.bsdName) + " is set to " + serverText,
                        {}});
    else if (card.serviceName)
        rows.push_back({Check::ID::adapterConfigured, Status::fail, "Card isn't set to " + serverText,
                        PreflightCheck::Fix{*card.serviceName}});
    else
        rows.push_back({Check::ID::adapterConfigured,
                        Status::fail,
                        "No network service for " + card.bsdName + std::string(texts.addService),
                        {}});

    int prefix = std::clamp(config.prefixLength, 0, 32);
    auto served = networkText(config.serverIP, prefix);
    std::vector<const InterfaceAddress*> others;
    for (const auto& address : input.otherAddresses)
        if (address.name != card.bsdName && address.name != loopbackInterfaceName) others.push_back(&address);

    const InterfaceAddress* overlap = nullptr;
    for (const auto* address : others) {
        if (address->isPointToPoint) continue;
        if (agreesOnPrefix(address->subnet.address, config.serverIP, std::min(prefix, address->subnet.prefixLength))) {
            overlap = address;
            break;
        }
    }
    if (overlap)
        rows.push_back({Check::ID::subnetOverlap,
                        Status::fail,
                        served + " overlaps " + overlap->name + " (" +
                            networkText(overlap->subnet.address, overlap->subnet.prefixLength) + ")",
                        {}});
    else
        rows.push_back({Check::ID::subnetOverlap, Status::pass, "No overlap with other networks", {}});

    for (const auto* address : others) {
        if (!address->isPointToPoint || !agreesOnPrefix(address->subnet.address, config.serverIP, prefix)) continue;
        rows.push_back(
            {Check::ID::vpnOverlap,
             Status::warn,
             "VPN address " + address->subnet.address.description() + " on " + address->name + " is inside " + served,
             {}});
        break;
    }

    switch (input.port67.kind) {
        case Port67State::Case::inUse:
            rows.push_back({Check::ID::port67,
                            Status::fail,
                            "Port 67 is in use by " + input.port67.holder.value_or("another program") +
                                std::string(texts.portInUseAdvice),
                            {}});
            break;
        case Port67State::Case::error:
            rows.push_back({Check::ID::port67, Status::fail, "Port 67 can't be opened: " + input.port67.error, {}});
            break;
        case Port67State::Case::free: rows.push_back({Check::ID::port67, Status::pass, "Port 67 is free", {}}); break;
    }

    if (card.linkUp)
        rows.push_back({Check::ID::link, Status::pass, "Link up \u00b7 " + card.media.value_or("connected"), {}});
    else
        rows.push_back({Check::ID::link, Status::warn, "No link: the server will start and wait for a device", {}});

    if (input.vmwareRunning)
        rows.push_back({Check::ID::vmware, Status::warn, "VMware Fusion is running and may grab the adapter", {}});
    return rows;
}

bool Preflight::canStart(const std::vector<PreflightCheck>& checks) {
    return std::none_of(checks.begin(), checks.end(), [](const auto& check) { return check.status == Status::fail; });
}

std::optional<std::string> Preflight::holder(std::string_view netstatText, int port) {
    // Appended, not `"." + number`: g++ 12 warns falsely (-Wrestrict) on that form in optimised builds.
    std::string suffix = ".";
    suffix += std::to_string(port);
    for (auto line : splitText(netstatText, '\n', EmptyPieces::drop)) {
        auto parts = columns(line);
        if (parts.size() < 5) continue;
        auto local = parts[3];
        if (local.size() < suffix.size() || local.substr(local.size() - suffix.size()) != suffix) continue;
        for (auto column : parts)
            if (isProcessColumn(column)) return ownName(column);
    }
    return std::nullopt;
}

std::map<std::uint64_t, std::uint64_t> Preflight::socketUsers(std::string_view procNetUDP, int port) {
    std::map<std::uint64_t, std::uint64_t> users;
    for (const auto& line : udpLines(procNetUDP, port, false)) users[line.inode] = line.user;
    return users;
}

std::vector<std::uint32_t> Preflight::boundInterfaces(std::span<const std::uint8_t> dump, int port) {
    constexpr std::uint16_t sockDiagByFamily = 20;  // SOCK_DIAG_BY_FAMILY
    // struct inet_diag_msg: family, state, timer, retrans, then the socket id: source port (network
    // order) at 4, and the bound interface at 40 in host order.
    constexpr std::size_t portOffset = 4, interfaceOffset = 40, messageLength = 72;
    std::vector<std::uint32_t> found;
    for (const auto& message : netlink::messages(dump)) {
        if (message.type != sockDiagByFamily || message.payload.size() < messageLength) continue;
        auto localPort = static_cast<int>(message.payload[portOffset]) << 8 | message.payload[portOffset + 1];
        if (localPort != port) continue;
        std::uint32_t interface = 0;
        std::memcpy(&interface, message.payload.data() + interfaceOffset, sizeof interface);
        found.push_back(interface);
    }
    return found;
}

std::vector<std::uint64_t> Preflight::socketInodes(std::string_view procNetUDP, int port) {
    std::vector<std::uint64_t> inodes;
    for (const auto& line : udpLines(procNetUDP, port, false)) inodes.push_back(line.inode);
    return inodes;
}

std::string Preflight::socketTable(std::string_view procNetUDP, std::string_view procNetUDP6, int port,
                                   const std::map<std::uint64_t, SocketOwner>& owners) {
    std::string text;
    auto append = [&](std::string_view protocol, const std::vector<UDPLine>& lines) {
        for (const auto& line : lines) {
            text += std::string(protocol) + "  " + line.receiveQueue + "  " + line.sendQueue + "  " +
                    line.localAddress + "  *.*";
            if (auto owner = owners.find(line.inode); owner != owners.end())
                text += "  " + columnSafe(owner->second.name) + ":" + std::to_string(owner->second.pid);
            text += "\n";
        }
    };
    append("udp4", udpLines(procNetUDP, port, false));
    append("udp6", udpLines(procNetUDP6, port, true));
    return text;
}

std::string_view Preflight::symbol(PreflightCheck::Status status) {
    switch (status) {
        case PreflightCheck::Status::pass: return "\u2713";
        case PreflightCheck::Status::warn: return "\u26a0";
        case PreflightCheck::Status::fail: return "\u2717";
    }
    return "?";
}

}  // namespace anvil
