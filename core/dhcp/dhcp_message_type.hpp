#pragma once
// The kind of a DHCP message, carried in option 53.
#include <cstdint>
#include <optional>
#include <string>

namespace anvil {

enum class DHCPMessageType : std::uint8_t {
    discover = 1,
    offer = 2,
    request = 3,
    decline = 4,
    ack = 5,
    nak = 6,
    release = 7,
    inform = 8,
};

// Nothing for a value outside 1 to 8.
std::optional<DHCPMessageType> messageTypeFromRaw(std::uint8_t raw);

constexpr std::uint8_t rawValue(DHCPMessageType type) { return static_cast<std::uint8_t>(type); }

// The upper-case name shown in the log and on screen, such as "DISCOVER".
std::string description(DHCPMessageType type);

}  // namespace anvil
