#pragma once
// One option of a DHCP message as it stands on the wire: a code and its data.
#include <cstdint>

#include "core/addressing/bytes.hpp"

namespace anvil {

struct DHCPOptionField {
    std::uint8_t code = 0;
    Bytes data;  // at most 255 bytes go on the wire

    friend bool operator==(const DHCPOptionField&, const DHCPOptionField&) = default;
};

}  // namespace anvil
