#pragma once
// The links of a kernel link dump (RTM_NEWLINK messages): how they are stacked and enslaved.
// Header-only and standard library alone: dhcpanvil-helper reads them too.
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/host/netlink_bytes.hpp"

namespace anvil::LinkDump {

struct Link {
    std::uint32_t index = 0;
    std::string name;
    std::uint16_t linkType = 0;  // ifi_type: ARPHRD_ETHER is 1
    std::uint32_t master = 0;    // IFLA_MASTER: the bridge or bond it is a port of; 0 none
    // IFLA_LINK: the link under it (a VLAN's parent, a veth's peer); 0 none, or when that index
    // belongs to another network namespace.
    std::uint32_t lower = 0;
    std::string kind;  // IFLA_INFO_KIND: "bridge", "bond", "vlan", "macvlan", "veth", ...; empty for a plain card

    friend bool operator==(const Link&, const Link&) = default;
};

namespace detail {

inline constexpr std::uint16_t newLink = 16;         // RTM_NEWLINK
inline constexpr std::size_t linkHeaderLength = 16;  // struct ifinfomsg
inline constexpr std::uint16_t nameAttribute = 3, lowerAttribute = 5, masterAttribute = 10, infoAttribute = 18,
                               lowerNamespaceAttribute = 37, kindAttribute = 1;
inline constexpr std::size_t longestName = 15;

inline std::optional<std::uint32_t> word(std::span<const std::uint8_t> payload) {
    if (payload.size() != 4) return std::nullopt;
    std::uint32_t value = 0;
    std::memcpy(&value, payload.data(), 4);
    return value;
}

// A string attribute: its bytes up to the terminator, which must be there.
inline std::optional<std::string> text(std::span<const std::uint8_t> payload, std::size_t longest) {
    std::size_t end = 0;
    while (end < payload.size() && payload[end] != 0) ++end;
    if (end == payload.size() || end > longest) return std::nullopt;
    return std::string(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(end));
}

inline std::optional<Link> link(std::span<const std::uint8_t> payload) {
    if (payload.size() < linkHeaderLength) return std::nullopt;
    Link found;
    std::int32_t index = 0;
    std::memcpy(&found.linkType, payload.data() + 2, 2);
    std::memcpy(&index, payload.data() + 4, 4);
    if (index <= 0) return std::nullopt;
    found.index = static_cast<std::uint32_t>(index);
    bool lowerElsewhere = false;
    for (const auto& attribute : netlink::attributes(payload.subspan(linkHeaderLength))) {
        switch (attribute.type) {
            case nameAttribute: {
                auto name = text(attribute.payload, longestName);
                if (!name || name->empty()) return std::nullopt;
                found.name = std::move(*name);
                break;
            }
            case masterAttribute:
            case lowerAttribute: {
                auto value = word(attribute.payload);
                if (!value) return std::nullopt;
                (attribute.type == masterAttribute ? found.master : found.lower) = *value;
                break;
            }
            case lowerNamespaceAttribute: lowerElsewhere = true; break;
            case infoAttribute:
                for (const auto& inner : netlink::attributes(attribute.payload))
                    if (inner.type == kindAttribute) {
                        auto kind = text(inner.payload, 64);
                        if (!kind) return std::nullopt;
                        found.kind = std::move(*kind);
                    }
                break;
            default: break;
        }
    }
    if (found.name.empty()) return std::nullopt;
    if (lowerElsewhere || found.lower == found.index) found.lower = 0;
    return found;
}

}  // namespace detail

// The RTM_NEWLINK messages of a dump, field by field; malformed ones are skipped.
inline std::vector<Link> parse(std::span<const std::uint8_t> dump) {
    std::vector<Link> links;
    for (const auto& message : netlink::messages(dump)) {
        if (message.type != detail::newLink) continue;
        if (auto found = detail::link(message.payload)) links.push_back(std::move(*found));
    }
    return links;
}

}  // namespace anvil::LinkDump
