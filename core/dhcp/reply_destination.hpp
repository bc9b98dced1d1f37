#pragma once
// Where a reply goes: the client's address, or the limited broadcast; always port 68.
#include <optional>
#include <string>

#include "core/addressing/ipv4_address.hpp"

namespace anvil {

struct ReplyDestination {
    // Absent means broadcast.
    std::optional<IPv4Address> unicastAddress;

    static ReplyDestination unicast(IPv4Address ip) { return {ip}; }
    static ReplyDestination broadcast() { return {std::nullopt}; }

    bool isBroadcast() const { return !unicastAddress; }
    IPv4Address address() const { return unicastAddress.value_or(IPv4Address::broadcast); }
    std::string description() const { return address().description() + ":68"; }

    friend bool operator==(const ReplyDestination&, const ReplyDestination&) = default;
};

}  // namespace anvil
