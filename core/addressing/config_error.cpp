#include "core/addressing/config_error.hpp"

namespace anvil {

std::string ConfigError::description() const {
    switch (kind) {
        case Kind::prefixOutOfBounds:
            return "Prefix /" + std::to_string(prefixLength) + " is not allowed. Use /8 to /30.";
        case Kind::rangeOutsideSubnet: return "Range must be inside " + subnet.description() + ".";
        case Kind::gatewayOutsideSubnet: return "Gateway must be inside " + subnet.description() + ".";
        case Kind::serverIPIsNetworkOrBroadcast: return "Server IP can't be the subnet's network or broadcast address.";
        case Kind::rangeReversed: return "Range start must not be after range end.";
        case Kind::rangeIncludesNetworkOrBroadcast:
            return "Range can't include the subnet's network or broadcast address.";
        case Kind::serverIPInsideRange: return "Server IP must not be inside the range.";
        case Kind::leaseTimeOutOfBounds: return "Lease time must be between 1 minute and 30 days.";
        case Kind::tooManyDNSServers: return "Use at most 3 DNS servers.";
        case Kind::optionNotSettable:
        case Kind::optionValueUnfit: return detail;
        case Kind::optionSetTwice: {
            auto text = detail;
            if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') text[0] = static_cast<char>(text[0] - 'a' + 'A');
            return text + " is set twice.";
        }
        case Kind::pinDeviceTwice: return detail + " is pinned twice.";
        case Kind::pinAddressTwice: return detail + " is pinned to two devices.";
        case Kind::pinOutsideSubnet:
            return "The address pinned to " + detail + " must be inside " + subnet.description() + ".";
        case Kind::pinIsServerIP: return detail + " can't be pinned to the server's own address.";
        case Kind::pinIsNetworkOrBroadcast:
            return detail + " can't be pinned to the subnet's network or broadcast address.";
    }
    return {};
}

}  // namespace anvil
