#pragma once
// What is kept of a reply at the moment it was sent.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/dhcp/reply_destination.hpp"
#include "core/dhcp/reply_kind.hpp"

namespace anvil {

struct SentSummary {
    ReplyKind type = DHCPMessageType::offer;
    // The address the reply is about.
    IPv4Address ip;
    MACAddress mac;
    ReplyDestination destination;
    std::string interface;
    std::optional<std::string> note;
    // The codes of the options the reply carried, in wire order.
    std::vector<std::uint8_t> options;

    friend bool operator==(const SentSummary&, const SentSummary&) = default;
};

}  // namespace anvil
