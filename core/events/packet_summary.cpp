#include "core/events/packet_summary.hpp"

namespace anvil {

PacketSummary PacketSummary::from(const DHCPPacket& packet, std::optional<std::string> interface) {
    return PacketSummary{
        .type = packet.messageType(),
        .mac = packet.mac(),
        .xid = packet.xid,
        .hostname = packet.hostname(),
        .vendorClass = packet.vendorClass(),
        .clientID = packet.clientID(),
        .requestedIP = packet.requestedIP(),
        .serverID = packet.serverID(),
        .ciaddr = packet.ciaddr,
        .interface = std::move(interface),
    };
}

}  // namespace anvil
