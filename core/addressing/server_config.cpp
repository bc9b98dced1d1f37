#include "core/addressing/server_config.hpp"

#include <algorithm>
#include <span>

#include "core/addressing/option_format.hpp"
#include "core/addressing/option_value.hpp"
#include "core/addressing/pin_text.hpp"
#include "core/addressing/reserved_option.hpp"
#include "core/addressing/timing.hpp"
#include "core/addressing/user_option_text.hpp"

namespace anvil {

ServerConfig defaultServerConfig() {
    return ServerConfig{IPv4Address{192, 168, 0, 1},
                        24,
                        IPv4Address{192, 168, 0, 100},
                        IPv4Address{192, 168, 0, 200},
                        86400,
                        std::nullopt,
                        {},
                        std::nullopt};
}

Subnet ServerConfig::subnet() const { return Subnet{serverIP, std::clamp(prefixLength, 0, 32)}; }

IPv4Address ServerConfig::mask() const {
    if (prefixLength < 1) return IPv4Address::zero;
    return Subnet::maskOf(std::min(prefixLength, 32));
}

IPv4Address ServerConfig::broadcastAddress() const {
    if (prefixLength < 1) return IPv4Address::broadcast;
    return IPv4Address{serverIP.value | ~mask().value};
}

AddressRange ServerConfig::range() const { return {std::min(rangeStart, rangeEnd), std::max(rangeStart, rangeEnd)}; }

int ServerConfig::rangeCount() const {
    if (rangeEnd < rangeStart) return 0;
    return static_cast<int>(std::min<std::uint64_t>(std::uint64_t{rangeEnd.value} - rangeStart.value + 1, INT32_MAX));
}

std::vector<ConfigError> ServerConfig::validate() const {
    using Kind = ConfigError::Kind;
    if (prefixLength < 8 || prefixLength > 30) return {ConfigError::prefixOutOfBounds(prefixLength)};

    std::vector<ConfigError> errors;
    Subnet served{serverIP, prefixLength};
    auto network = served.network();
    auto broadcast = served.broadcast();
    if (serverIP == network || serverIP == broadcast)
        errors.push_back(ConfigError::plain(Kind::serverIPIsNetworkOrBroadcast));
    if (rangeEnd < rangeStart) errors.push_back(ConfigError::plain(Kind::rangeReversed));

    auto [low, high] = range();
    if (served.contains(rangeStart) && served.contains(rangeEnd)) {
        auto between = [low = low, high = high](IPv4Address ip) { return low <= ip && ip <= high; };
        if (between(network) || between(broadcast))
            errors.push_back(ConfigError::plain(Kind::rangeIncludesNetworkOrBroadcast));
    } else {
        errors.push_back(ConfigError::rangeOutsideSubnet(served));
    }
    if (rangeStart <= serverIP && serverIP <= rangeEnd) errors.push_back(ConfigError::plain(Kind::serverIPInsideRange));
    if (router && !served.contains(*router)) errors.push_back(ConfigError::gatewayOutsideSubnet(served));
    if (leaseSeconds < Timing::minimumLease || leaseSeconds > Timing::maximumLease)
        errors.push_back(ConfigError::plain(Kind::leaseTimeOutOfBounds));
    if (dns.size() > 3) errors.push_back(ConfigError::plain(Kind::tooManyDNSServers));
    for (auto option = userOptions.begin(); option != userOptions.end(); ++option) {
        if (auto reason = reservedOptionReason(option->code, *this)) {
            errors.push_back(ConfigError::about(Kind::optionNotSettable, *reason));
            continue;
        }
        // What a reader would take back is what goes on the wire; anything else was never typed.
        auto again = readOptionValue(option->code, optionValueText(option->code, option->data));
        if (again.data != option->data)
            errors.push_back(ConfigError::about(
                Kind::optionValueUnfit, again.data ? optionLabel(option->code) + " has a value that does not fit it." : again.error));
        bool twice = std::any_of(userOptions.begin(), option, [&option](const UserOption& earlier) {
            return earlier.code == option->code && earlier.match == option->match;
        });
        if (twice)
            errors.push_back(ConfigError::about(
                Kind::optionSetTwice, "option " + std::to_string(option->code) + " for " + matchDescription(option->match)));
    }
    for (std::size_t i = 0; i < pins.size(); ++i) {
        const auto& pin = pins[i];
        auto device = deviceText(pin);
        auto earlier = std::span(pins).first(i);
        if (std::ranges::any_of(earlier, [&](const Pin& other) { return deviceText(other) == device; }))
            errors.push_back(ConfigError::aboutPin(Kind::pinDeviceTwice, device));
        // Each address once, on its second pin.
        if (std::ranges::count(earlier, pin.ip, &Pin::ip) == 1)
            errors.push_back(ConfigError::aboutPin(Kind::pinAddressTwice, pin.ip.description()));
        if (!served.contains(pin.ip)) {
            errors.push_back(ConfigError::aboutPin(Kind::pinOutsideSubnet, device, served));
        } else if (pin.ip == serverIP) {
            errors.push_back(ConfigError::aboutPin(Kind::pinIsServerIP, device));
        } else if (pin.ip == network || pin.ip == broadcast) {
            errors.push_back(ConfigError::aboutPin(Kind::pinIsNetworkOrBroadcast, device));
        }
    }
    return errors;
}

}  // namespace anvil
