#pragma once
// Every sentence and remark the responder reports: dropped reasons, NAK reasons, info lines and notes.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/boot_config.hpp"
#include "core/addressing/duration.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/dhcp/dhcp_message_type.hpp"

namespace anvil::ResponderText {

inline std::string notClientRequest(unsigned op) { return "not a client request (op " + std::to_string(op) + ")"; }
inline std::string notEthernet(unsigned htype, unsigned hlen) {
    return "not Ethernet (htype " + std::to_string(htype) + ", hlen " + std::to_string(hlen) + ")";
}
inline constexpr std::string_view relayed = "relayed request (not served)";
inline constexpr std::string_view bootp = "BOOTP request (not served)";
inline std::string serverMessage(DHCPMessageType type) { return description(type) + " is a server message"; }
inline constexpr std::string_view poolExhausted = "address pool exhausted";
inline constexpr std::string_view declineWithoutAddress = "DECLINE without a requested address";
inline constexpr std::string_view declineNotHeld = "DECLINE for an address this device does not hold";
inline constexpr std::string_view declineForAnotherServer = "DECLINE for another server";
inline constexpr std::string_view declineOutsideRange = "DECLINE outside the range";
inline std::string informOffSubnet(IPv4Address ciaddr) {
    return "INFORM from " + ciaddr.description() + ", which is not on this network";
}

inline std::string reclaimed(IPv4Address ip, const MACAddress& formerHolder) {
    return "range full: reclaimed " + ip.description() + " from " + formerHolder.description() +
           " (offline, lease not expired)";
}
// The pin is named as the user wrote it: its device, and its label when it has one.
inline std::string pinTaken(IPv4Address ip, const MACAddress& formerHolder, const std::string& pinDevice,
                            const std::string& pinLabel) {
    return "pinned address " + ip.description() + " taken from " + formerHolder.description() + " for " + pinDevice +
           (pinLabel.empty() ? "" : " (" + pinLabel + ")");
}
inline std::string choseAnotherServer(const MACAddress& mac, IPv4Address otherServer) {
    return "client " + mac.description() + " chose another server (" + otherServer.description() + ")";
}
inline std::string declined(const MACAddress& mac, IPv4Address ip, std::uint32_t quarantineSeconds) {
    return "conflict: " + mac.description() + " reports " + ip.description() + " is already in use; quarantined for " +
           formatDuration(quarantineSeconds);
}
inline std::string releaseOfUnknownLease(const MACAddress& mac) {
    return "RELEASE from " + mac.description() + " for an unknown lease ignored";
}
inline std::string releaseForAnotherServer(const MACAddress& mac) {
    return "RELEASE from " + mac.description() + " for another server ignored";
}
inline std::string staticDeviceAskedForOptions(IPv4Address ciaddr, const MACAddress& mac) {
    return "static-IP device " + ciaddr.description() + " (" + mac.description() + ") asked for options";
}

inline std::string leaseNote(std::uint32_t leaseSeconds) { return "lease " + formatDuration(leaseSeconds); }
inline std::string pinnedNote(const std::string& label) { return label.empty() ? "pinned" : "pinned: " + label; }
inline constexpr std::string_view apcCookieNote = "+APC cookie";
// "option 43 for vendor class APC": a user option that went out, and the match that gave it.
inline std::string userOptionNote(std::uint8_t code, const std::string& why) {
    return "option " + std::to_string(code) + " for " + why;
}
inline constexpr std::string_view noteSeparator = ", ";
// Between the lease remarks and the boot remarks, each a list of its own.
inline constexpr std::string_view bootNoteSeparator = "; ";
// Why a BOOTP client that names no kind is taken for a boot client.
inline constexpr std::string_view bootpClient = "BOOTP request";

// "boot file ipxe.efi for efi-x64 (option 93 = 7)", "boot server only for bios (vendor class PXEClient)".
inline std::string bootNote(const std::string& file, std::optional<BootKind> kind, const std::string& reason) {
    std::string text = file.empty() ? std::string("boot server only") : "boot file " + file;
    if (kind) text += " for " + std::string(rawValue(*kind));
    return text + " (" + reason + ")";
}
// "cut to 548 bytes: 2 DNS servers, options 66, 28 left out"
inline std::string fittedNote(std::size_t limit, std::size_t dnsServersLeftOut, const std::vector<std::uint8_t>& options) {
    std::string text = "cut to " + std::to_string(limit) + " bytes: ";
    std::string pieces;
    if (dnsServersLeftOut > 0)
        pieces = std::to_string(dnsServersLeftOut) + (dnsServersLeftOut == 1 ? " DNS server" : " DNS servers");
    if (!options.empty()) {
        if (!pieces.empty()) pieces += ", ";
        pieces += options.size() == 1 ? "option " : "options ";
        for (std::size_t i = 0; i < options.size(); ++i) pieces += (i ? ", " : "") + std::to_string(options[i]);
    }
    return text + pieces + " left out";
}

namespace Nak {
inline constexpr std::string_view noRequestedAddress = "no requested address";
inline constexpr std::string_view notAvailable = "requested address is not available";
inline constexpr std::string_view notOnNetwork = "requested address is not on this network";
inline constexpr std::string_view outsideRange = "requested address is outside the range";
inline constexpr std::string_view declinedRecently = "requested address was declined recently";
inline constexpr std::string_view inUse = "address in use by another device";
inline constexpr std::string_view notAvailableForRenewal = "address is not available for renewal";
inline constexpr std::string_view pinnedToOther = "address is pinned to another device";
inline constexpr std::string_view pinnedElsewhere = "this device is pinned to another address";
}  // namespace Nak

}  // namespace anvil::ResponderText
