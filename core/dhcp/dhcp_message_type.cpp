#include "core/dhcp/dhcp_message_type.hpp"

namespace anvil {

std::optional<DHCPMessageType> messageTypeFromRaw(std::uint8_t raw) {
    if (raw < rawValue(DHCPMessageType::discover) || raw > rawValue(DHCPMessageType::inform)) return std::nullopt;
    return static_cast<DHCPMessageType>(raw);
}

std::string description(DHCPMessageType type) {
    switch (type) {
        case DHCPMessageType::discover: return "DISCOVER";
        case DHCPMessageType::offer: return "OFFER";
        case DHCPMessageType::request: return "REQUEST";
        case DHCPMessageType::decline: return "DECLINE";
        case DHCPMessageType::ack: return "ACK";
        case DHCPMessageType::nak: return "NAK";
        case DHCPMessageType::release: return "RELEASE";
        case DHCPMessageType::inform: return "INFORM";
    }
    return "UNKNOWN";
}

}  // namespace anvil
