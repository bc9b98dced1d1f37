#pragma once
// What is kept of a received DHCP message for events, the log and the screens.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/dhcp/dhcp_message_type.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/option_catalog.hpp"

namespace anvil {

struct PacketSummary {
    std::optional<DHCPMessageType> type;
    std::optional<MACAddress> mac;
    std::uint32_t xid = 0;
    std::optional<std::string> hostname;
    std::optional<std::string> vendorClass;
    std::optional<std::string> clientID;
    std::optional<IPv4Address> requestedIP;
    std::optional<IPv4Address> serverID;
    IPv4Address ciaddr;
    // The card the message arrived on, when known.
    std::optional<std::string> interface;
    // Every option as it arrived, in wire order; rendered for people only when shown.
    std::vector<DHCPOptionField> options;

    // Options that are absent or malformed give absent fields.
    static PacketSummary from(const DHCPPacket& packet, std::optional<std::string> interface = std::nullopt);

    std::vector<RenderedOption> renderedOptions() const;
    // The codes of the first parameter request list (option 55); empty when none was sent.
    std::vector<std::uint8_t> requestedCodes() const;

    friend bool operator==(const PacketSummary&, const PacketSummary&) = default;
};

}  // namespace anvil
