#pragma once
// One device that always gets the same address of the served subnet.
#include <optional>
#include <string>

#include "core/addressing/bytes.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"

namespace anvil {

struct Pin {
    // Matched on the hardware address, unless the user pinned a client identifier: then on option
    // 61 alone. Exactly one of the two is set.
    std::optional<MACAddress> mac;
    std::optional<Bytes> clientID;
    IPv4Address ip;
    std::string label;

    friend bool operator==(const Pin&, const Pin&) = default;
};

}  // namespace anvil
