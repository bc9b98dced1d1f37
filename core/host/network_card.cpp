#include "core/host/network_card.hpp"

namespace anvil {

std::string NetworkCard::addressSummary() const {
    if (addresses.empty()) return "no address";
    const auto& first = addresses.front().address;
    auto text = first.description();
    if (first.isLinkLocal()) return text + " (self-assigned)";
    switch (configMethod.kind) {
        case ConfigMethod::Case::manual: return text + " (manual)";
        case ConfigMethod::Case::dhcp: return text + " (DHCP)";
        case ConfigMethod::Case::other:
        case ConfigMethod::Case::none: break;
    }
    return text;
}

std::string NetworkCard::title() const {
    if (displayName.empty() || displayName == bsdName) return bsdName;
    return bsdName + " \u00b7 " + displayName;
}

std::string_view rawValue(NetworkCard::Kind kind) {
    switch (kind) {
        case NetworkCard::Kind::ethernet: return "ethernet";
        case NetworkCard::Kind::wifi: return "wifi";
        case NetworkCard::Kind::bridge: return "bridge";
        case NetworkCard::Kind::other: return "other";
    }
    return "other";
}

std::optional<NetworkCard::Kind> networkCardKindFromRaw(std::string_view text) {
    using Kind = NetworkCard::Kind;
    for (auto kind : {Kind::ethernet, Kind::wifi, Kind::bridge, Kind::other})
        if (rawValue(kind) == text) return kind;
    return std::nullopt;
}

}  // namespace anvil
