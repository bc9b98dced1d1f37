#pragma once
// Which of the user's options a device gets, and their place in a reply.
#include <vector>

#include <string>

#include "core/addressing/server_config.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp_service/boot_reply.hpp"

namespace anvil {

struct ChosenUserOption {
    UserOption option;
    // The device asked for the code in option 55; otherwise the option goes because it is marked always.
    bool asked = false;

    friend bool operator==(const ChosenUserOption&, const ChosenUserOption&) = default;
};

// Pure. For each code, the option whose match names this device most narrowly: the device, its
// maker, its vendor class (a longer prefix first), its user class, its boot kind, every device; the
// earlier one on a tie. It goes when the device asked for the code or it is marked always, so a
// request without option 55 (as BOOTP's) gets only the latter. In the order of config.userOptions.
std::vector<ChosenUserOption> userOptionsFor(const DHCPPacket& request, const ServerConfig& config);

// Pure. Puts each chosen option into the reply in place of the server's own option of that code
// (the vendor area an APC card or a Raspberry Pi is given), except that an option for every device
// leaves the server's own where it is. Returns the options placed.
std::vector<ChosenUserOption> placeUserOptions(DHCPPacket& reply, const std::vector<ChosenUserOption>& chosen);

// The placed options' codes, for fitting the reply.
UserOptionCodes userOptionCodes(const std::vector<ChosenUserOption>& placed);
// "option 43 for vendor class APC" for each placed option still in the reply once it was fitted.
std::vector<std::string> userOptionNotes(const DHCPPacket& reply, const std::vector<ChosenUserOption>& placed);

}  // namespace anvil
