#pragma once
// One problem found by checking a server configuration; its text is shown to the user.
#include <string>

#include "core/addressing/subnet.hpp"

namespace anvil {

struct ConfigError {
    enum class Kind {
        prefixOutOfBounds,
        rangeOutsideSubnet,
        gatewayOutsideSubnet,
        serverIPIsNetworkOrBroadcast,
        rangeReversed,
        rangeIncludesNetworkOrBroadcast,
        serverIPInsideRange,
        leaseTimeOutOfBounds,
        tooManyDNSServers,
        // User options; detail is the whole sentence for the first and last, and names the option
        // and its match ("option 42 for every device") for the second.
        optionNotSettable,
        optionSetTwice,
        optionValueUnfit,
        // detail names the pin: its device, or its address for pinAddressTwice.
        pinDeviceTwice,
        pinAddressTwice,
        pinOutsideSubnet,
        pinIsServerIP,
        pinIsNetworkOrBroadcast,
    };

    Kind kind;
    int prefixLength = 0;  // prefixOutOfBounds
    Subnet subnet;         // rangeOutsideSubnet, gatewayOutsideSubnet
    // Which pin or option, and what about it, for the kinds that need it.
    std::string detail = {};

    static ConfigError prefixOutOfBounds(int prefix) { return {Kind::prefixOutOfBounds, prefix, {}, {}}; }
    static ConfigError rangeOutsideSubnet(Subnet subnet) { return {Kind::rangeOutsideSubnet, 0, subnet, {}}; }
    static ConfigError gatewayOutsideSubnet(Subnet subnet) { return {Kind::gatewayOutsideSubnet, 0, subnet, {}}; }
    static ConfigError plain(Kind kind) { return {kind, 0, {}, {}}; }
    static ConfigError about(Kind kind, std::string detail) { return {kind, 0, {}, std::move(detail)}; }
    static ConfigError aboutPin(Kind kind, std::string detail, Subnet subnet = {}) {
        return {kind, 0, subnet, std::move(detail)};
    }

    std::string description() const;

    friend bool operator==(const ConfigError&, const ConfigError&) = default;
};

}  // namespace anvil
