#pragma once
// The server's policy: one client message in, the answer, the new lease table and the events out.
#include <array>
#include <cstdint>

#include "core/addressing/server_config.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp_service/decision.hpp"
#include "core/dhcp_service/decision_context.hpp"

namespace anvil {

struct Responder {
    ServerConfig config;

    // Option 43 for devices whose vendor class begins with "APC": sub-option 1, length 4, "1APC".
    static constexpr std::array<std::uint8_t, 6> apcCookie{1, 4, 0x31, 0x41, 0x50, 0x43};

    // Pure: reads no clock, does no I/O and never throws; refusals come back as events or a NAK.
    Decision decide(const DHCPPacket& packet, const DecisionContext& context) const;
    // The same, taking the context's table over instead of copying it.
    Decision decide(const DHCPPacket& packet, DecisionContext&& context) const;
};

}  // namespace anvil
