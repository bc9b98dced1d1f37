#include "core/events/packet_summary.hpp"

#include "core/dhcp/option_code.hpp"

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
        .options = packet.options,
    };
}

std::vector<RenderedOption> PacketSummary::renderedOptions() const {
    std::vector<RenderedOption> rendered;
    rendered.reserve(options.size());
    for (const auto& field : options) rendered.push_back(OptionCatalog::render(field));
    return rendered;
}

std::vector<std::uint8_t> PacketSummary::requestedCodes() const {
    for (const auto& field : options)
        if (field.code == OptionCode::parameterList) return field.data;
    return {};
}

}  // namespace anvil
