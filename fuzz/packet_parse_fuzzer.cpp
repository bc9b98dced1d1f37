// Feeds arbitrary datagrams to the packet parser: it must either throw PacketError or give a packet
// whose encoding parses back to the same value. The same bytes also go through the option renderers
// and, as text, through the maker registry's CSV reader.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "core/addressing/maker_registry.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/option_catalog.hpp"
#include "core/dhcp/packet_error.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto registry = anvil::MakerRegistry::fromCSV({std::string_view(reinterpret_cast<const char*>(data), size)});
    (void)anvil::makerOf(anvil::MACAddress{}, registry);

    anvil::DHCPPacket packet;
    try {
        packet = anvil::DHCPPacket::parse(std::span(data, size));
    } catch (const anvil::PacketError&) {
        return 0;
    }

    // Touch every accessor so that their reads of untrusted option data are checked too.
    (void)packet.messageType();
    (void)packet.mac();
    (void)packet.hostname();
    (void)packet.vendorClass();
    (void)packet.clientID();
    (void)packet.requestedIP();
    (void)packet.serverID();
    for (const auto& field : packet.options) (void)anvil::OptionCatalog::render(field);

    for (std::size_t minimumLength : {std::size_t{0}, anvil::DHCPPacket::minimumReplyLength}) {
        auto bytes = packet.serialize(minimumLength);
        anvil::DHCPPacket again;
        try {
            again = anvil::DHCPPacket::parse(bytes);
        } catch (const anvil::PacketError& error) {
            std::fprintf(stderr, "re-encoded packet does not parse: %s\n", error.what());
            std::abort();
        }
        if (!(again == packet)) {
            std::fprintf(stderr, "re-encoded packet parses to a different value\n");
            std::abort();
        }
    }
    return 0;
}
