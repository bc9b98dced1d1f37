#pragma once
// One network interface of the host as the front ends show it.
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/addressing/subnet.hpp"
#include "core/host/bench_card_rule.hpp"

namespace anvil {

struct NetworkCard {
    enum class Kind { ethernet, wifi, bridge, other };

    // How the network service configures IPv4 on the card.
    struct ConfigMethod {
        enum class Case { manual, other, dhcp, none };
        Case kind = Case::none;
        IPv4Address ip;    // manual only
        IPv4Address mask;  // manual only
        std::string name;  // other only

        static ConfigMethod manual(IPv4Address ip, IPv4Address mask) { return {Case::manual, ip, mask, {}}; }
        static ConfigMethod other(std::string name) { return {Case::other, {}, {}, std::move(name)}; }
        static ConfigMethod dhcp() { return {Case::dhcp, {}, {}, {}}; }
        static ConfigMethod none() { return {}; }

        friend bool operator==(const ConfigMethod&, const ConfigMethod&) = default;
    };

    std::string bsdName;
    std::string displayName;
    std::optional<std::string> serviceName;
    Kind kind = Kind::other;
    std::optional<MACAddress> mac;
    bool linkUp = false;
    std::optional<std::string> media;
    std::vector<Subnet> addresses;
    ConfigMethod configMethod;
    bool isPrimary = false;
    // An IPv4 or IPv6 default route of any routing table goes out through this card: it is not a
    // bench card.
    bool carriesDefaultRoute = false;
    // A port of a bridge or bond, or stacked with a link that carries a default route: not a bench card.
    BenchCardRule::Stacking stacking;
    // How the settings tool addresses the service when its name may be ambiguous: NetworkManager's
    // profile UUID (two profiles may share a name). Absent where the name is enough.
    std::optional<std::string> serviceID;

    const std::string& id() const { return bsdName; }
    // The card's name once, with the system's description when it says more than the name:
    // "enx00e04c680001 · USB 10/100/1000 LAN".
    std::string title() const;
    // The one-line address text shown under a card.
    std::string addressSummary() const;

    friend bool operator==(const NetworkCard&, const NetworkCard&) = default;
};

std::string_view rawValue(NetworkCard::Kind kind);
std::optional<NetworkCard::Kind> networkCardKindFromRaw(std::string_view text);

}  // namespace anvil

template <>
struct std::hash<anvil::NetworkCard> {
    std::size_t operator()(const anvil::NetworkCard& card) const noexcept {
        std::size_t seed = std::hash<std::string>{}(card.bsdName);
        auto mix = [&seed](std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ull + (seed << 6) + (seed >> 2); };
        mix(std::hash<std::string>{}(card.displayName));
        mix(std::hash<std::string>{}(card.serviceName.value_or("")));
        mix(static_cast<std::size_t>(card.kind));
        if (card.mac) mix(std::hash<anvil::MACAddress>{}(*card.mac));
        mix(card.linkUp);
        mix(std::hash<std::string>{}(card.media.value_or("")));
        for (const auto& subnet : card.addresses) mix(std::hash<anvil::Subnet>{}(subnet));
        mix(static_cast<std::size_t>(card.configMethod.kind));
        mix(card.configMethod.ip.value);
        mix(card.configMethod.mask.value);
        mix(std::hash<std::string>{}(card.configMethod.name));
        mix(card.isPrimary);
        mix(card.carriesDefaultRoute);
        mix(std::hash<std::string>{}(card.serviceID.value_or("")));
        return seed;
    }
};
