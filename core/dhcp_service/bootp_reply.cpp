#include "core/dhcp_service/bootp_reply.hpp"

#include "core/dhcp/option_code.hpp"
#include "core/dhcp_service/boot_reply.hpp"
#include "core/dhcp_service/responder_texts.hpp"
#include "core/dhcp_service/user_options_for.hpp"

namespace anvil {

namespace Text = ResponderText;

Reply bootReply(const DHCPPacket& request, const ServerConfig& config, IPv4Address yiaddr, const MACAddress& mac) {
    DHCPPacket packet;
    packet.op = 2;
    packet.htype = request.htype;
    packet.hlen = request.hlen;
    packet.xid = request.xid;
    packet.flags = request.flags;
    packet.ciaddr = request.ciaddr;
    packet.yiaddr = yiaddr;
    packet.giaddr = request.giaddr;
    packet.chaddr = request.chaddr;
    // Serialising puts the magic cookie first; the mask comes before the router (RFC 2132 3.3).
    packet.options.push_back({OptionCode::subnetMask, config.mask().bytes()});
    packet.options.push_back({OptionCode::broadcastAddress, config.broadcastAddress().bytes()});
    if (config.router) packet.options.push_back({OptionCode::router, config.router->bytes()});
    if (!config.dns.empty()) {
        Bytes servers;
        for (auto server : config.dns) {
            auto bytes = server.bytes();
            servers.insert(servers.end(), bytes.begin(), bytes.end());
        }
        packet.options.push_back({OptionCode::dns, std::move(servers)});
    }

    std::string note = Text::leaseNote(config.leaseSeconds);
    auto client = classifyBootClient(request).value_or(BootClient{std::nullopt, std::string(Text::bootpClient)});
    if (auto bootNote = addBootOptions(packet, client, config))
        note += std::string(Text::bootNoteSeparator) + *bootNote;
    auto placed = placeUserOptions(packet, userOptionsFor(request, config));
    auto limit = clientMessageLimit(request);
    auto fitted = fitToClientLimit(packet, limit, userOptionCodes(placed));
    for (const auto& piece : userOptionNotes(packet, placed)) note += std::string(Text::noteSeparator) + piece;
    if (fitted.changed())
        note += std::string(Text::bootNoteSeparator) +
                Text::fittedNote(limit, fitted.dnsServersLeftOut, fitted.optionsLeftOut);

    auto destination =
        request.ciaddr != IPv4Address::zero ? ReplyDestination::unicast(request.ciaddr) : ReplyDestination::broadcast();
    return Reply{std::move(packet), destination, std::nullopt, yiaddr, mac, std::move(note)};
}

}  // namespace anvil
