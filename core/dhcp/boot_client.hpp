#pragma once
// Whether a DHCP request comes from a network boot client, and which kind, read from its options.
#include <optional>
#include <string>

#include "core/addressing/boot_config.hpp"
#include "core/dhcp/dhcp_packet.hpp"

namespace anvil {

struct BootClient {
    // Nothing when the request names no kind this server knows (it only asks for options 66/67, or
    // names an architecture without a kind): such a client is told the boot file for all, if any.
    std::optional<BootKind> kind;
    // What gave the kind away, in plain words: "option 93 = 7", "vendor class U-Boot.armv8".
    std::string reason;
    // Its vendor class begins "PXEClient": a PXE ROM wants the same class echoed back.
    bool isPXE = false;

    friend bool operator==(const BootClient&, const BootClient&) = default;
};

// Nothing for a client that shows no sign of booting from the network.
std::optional<BootClient> classifyBootClient(const DHCPPacket& request);

}  // namespace anvil
