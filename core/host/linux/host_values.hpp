#pragma once
// Parsers of what Linux tells about its network cards: /proc and udev texts, nmcli output, rtnetlink addresses.
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/host/network_card.hpp"

namespace anvil::LinuxHost {

// The interface of the up IPv4 default route with the lowest metric in /proc/net/route; the first on a tie.
std::optional<std::string> primaryInterface(std::string_view procNetRoute);

// "Vendor Model" from a udev database file (/run/udev/data/n<index>), whichever of the two is present.
std::optional<std::string> displayName(std::string_view udevData);

// One IPv4 address from an rtnetlink address dump.
struct KernelAddress {
    int interfaceIndex = 0;
    IPv4Address address;
    int prefixLength = 0;
    bool isPermanent = false;  // IFA_F_PERMANENT: set by hand, not leased

    friend bool operator==(const KernelAddress&, const KernelAddress&) = default;
};
std::vector<KernelAddress> parseAddresses(std::span<const std::uint8_t> netlinkDump);
// Without NetworkManager: a permanent address is a manual setting; only leased ones mean DHCP.
NetworkCard::ConfigMethod configMethod(const std::vector<KernelAddress>& addressesOfCard);

// The fields of one line of `nmcli -t` output, with its "\:" and "\\" escapes undone.
std::vector<std::string> nmcliFields(std::string_view line);
// Device to active connection from `nmcli -t -f DEVICE,CONNECTION device`.
std::map<std::string, std::string, std::less<>> nmcliDeviceConnections(std::string_view text);
// The method from `nmcli -t -f ipv4.method,ipv4.addresses connection show <name>`.
NetworkCard::ConfigMethod nmcliConfigMethod(std::string_view text);

}  // namespace anvil::LinuxHost
