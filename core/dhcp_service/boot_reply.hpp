#pragma once
// What a reply tells a network boot client, and the rule that keeps a reply within the size the client accepts.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/addressing/server_config.hpp"
#include "core/dhcp/boot_client.hpp"
#include "core/dhcp/dhcp_packet.hpp"

namespace anvil {

// Option 43 for a Raspberry Pi: PXE boot menu sub-option 9 holding one entry (type 0, 17 bytes of
// "Raspberry Pi Boot"), then the end mark. The Pi's firmware looks for this entry before it asks
// for bootcode.bin.
inline constexpr std::array<std::uint8_t, 23> piBootMenu{
    9, 20, 0, 0, 17, 'R', 'a', 's', 'p', 'b', 'e', 'r', 'r', 'y', ' ', 'P', 'i', ' ', 'B', 'o', 'o', 't', 255,
};

// Pure. For a boot client, when the configuration has boot on: siaddr and option 66 name this
// server, option 67 and the file field the chosen boot file, option 60 "PXEClient" answers a PXE
// ROM and option 43 a Raspberry Pi. Returns the note for the log; nothing, and the reply untouched,
// for any other client.
std::optional<std::string> addBootOptions(DHCPPacket& reply, const DHCPPacket& request, const ServerConfig& config);
// The same for a client already taken to be booting, however it was told.
std::optional<std::string> addBootOptions(DHCPPacket& reply, const BootClient& client, const ServerConfig& config);

// The most bytes of DHCP message the client accepts: its option 57 (576 when absent or smaller)
// less 28 bytes of IP and UDP headers.
std::size_t clientMessageLimit(const DHCPPacket& request);

struct FittedReply {
    std::size_t dnsServersLeftOut = 0;
    // Codes of whole options left out, in the order they went.
    std::vector<std::uint8_t> optionsLeftOut;

    bool changed() const { return dnsServersLeftOut > 0 || !optionsLeftOut.empty(); }
    friend bool operator==(const FittedReply&, const FittedReply&) = default;
};

// The codes of the user options in a reply, by whether the client asked for them.
struct UserOptionCodes {
    std::vector<std::uint8_t> unasked;
    std::vector<std::uint8_t> asked;
};

// Pure. Leaves optional options out, least needed first, until the reply is at most limit bytes;
// never cuts an option short. User options nobody asked for go before anything else, those asked
// for after what a client can work out itself (66, 28, T1, T2). The message type, server
// identifier, lease time, mask and boot file always stay.
FittedReply fitToClientLimit(DHCPPacket& reply, std::size_t limit, const UserOptionCodes& userOptions = {});

}  // namespace anvil
