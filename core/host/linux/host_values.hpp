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

// "Vendor Model" from a udev database file (/run/udev/data/n<index>), whichever of the two is present;
// else the model name the device gives itself (ID_MODEL_ENC), when it gives one.
std::optional<std::string> displayName(std::string_view udevData);
// A USB device's own name of itself (its sysfs `product`), for a card udev knows nothing of.
std::optional<std::string> usbProductName(std::string_view product);

// One IPv4 address from an rtnetlink address dump.
struct KernelAddress {
    int interfaceIndex = 0;
    IPv4Address address;
    int prefixLength = 0;
    bool isPermanent = false;  // IFA_F_PERMANENT: set by hand, not leased

    friend bool operator==(const KernelAddress&, const KernelAddress&) = default;
};
std::vector<KernelAddress> parseAddresses(std::span<const std::uint8_t> netlinkDump);
// Without NetworkManager: a permanent address is a manual setting (the one equal to `preferred`
// when there is one, else the first); only leased ones mean DHCP.
NetworkCard::ConfigMethod configMethod(const std::vector<KernelAddress>& addressesOfCard,
                                       std::optional<IPv4Address> preferred = std::nullopt);

// The fields of one line of `nmcli -t` output, with its "\:" and "\\" escapes undone.
std::vector<std::string> nmcliFields(std::string_view line);
// One line of `nmcli -t -f DEVICE,STATE,CON-UUID device`.
struct NMDevice {
    std::string name, state, activeUUID;
    bool isManaged() const { return state != "unmanaged"; }
    friend bool operator==(const NMDevice&, const NMDevice&) = default;
};
std::vector<NMDevice> nmcliDevices(std::string_view text);

// One profile: a line of `nmcli -t -f NAME,UUID,TYPE,AUTOCONNECT,AUTOCONNECT-PRIORITY,TIMESTAMP,DEVICE
// connection show`, and from `connection show uuid <UUID>` the settings that tie it to a card.
struct NMProfile {
    std::string name, uuid, type;
    bool autoconnect = false;
    long priority = 0;
    long long timestamp = 0;
    std::string activeDevice;
    std::string interfaceName;  // connection.interface-name; empty for any card
    std::string macAddress;     // 802-3-ethernet.mac-address; empty for any card
    friend bool operator==(const NMProfile&, const NMProfile&) = default;
};
std::vector<NMProfile> nmcliProfiles(std::string_view text);
// "key:value" lines of `nmcli -t -f <settings> connection show uuid <UUID>`.
std::map<std::string, std::string, std::less<>> nmcliSettings(std::string_view text);

// The card's service: the profile active on it, else the one NetworkManager would activate when the
// cable comes back (an autoconnecting Ethernet profile free for this card, highest priority, then
// most recently used).
const NMProfile* serviceProfile(const NMDevice& device, std::string_view deviceMAC,
                                const std::vector<NMProfile>& profiles);

// The method from `nmcli -t -f ipv4.method,ipv4.addresses connection show <name>`.
NetworkCard::ConfigMethod nmcliConfigMethod(std::string_view text);

}  // namespace anvil::LinuxHost
