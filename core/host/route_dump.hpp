#pragma once
// The routes of a kernel route dump (RTM_NEWROUTE messages), every table, IPv4 and IPv6.
// Header-only and standard library alone: dhcpanvil-helper reads them too.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "core/host/netlink_bytes.hpp"

namespace anvil::RouteDump {

inline constexpr std::uint8_t familyIPv4 = 2;   // AF_INET
inline constexpr std::uint8_t familyIPv6 = 10;  // AF_INET6

// rtm_type values that matter to callers.
inline constexpr std::uint8_t unicast = 1;      // RTN_UNICAST
inline constexpr std::uint8_t blackhole = 6;    // RTN_BLACKHOLE
inline constexpr std::uint8_t unreachable = 7;  // RTN_UNREACHABLE
inline constexpr std::uint8_t prohibit = 8;     // RTN_PROHIBIT
inline constexpr std::uint8_t throwRoute = 9;   // RTN_THROW

struct Hop {
    std::uint32_t interfaceIndex = 0;                     // RTA_OIF or the nexthop's ifindex; 0 unknown
    std::optional<std::array<std::uint8_t, 16>> gateway;  // RTA_GATEWAY / RTA_VIA, first 4 bytes for IPv4

    friend bool operator==(const Hop&, const Hop&) = default;
};

struct Route {
    std::uint8_t family = 0;             // AF_INET or AF_INET6
    std::uint32_t table = 0;             // RTA_TABLE, else rtm_table
    std::uint8_t type = 0;               // RTN_UNICAST, RTN_UNREACHABLE, RTN_BLACKHOLE, RTN_PROHIBIT, ...
    std::uint8_t destinationLength = 0;  // 0: a default route
    std::array<std::uint8_t, 16> destination{};
    std::vector<Hop> hops;  // one, or each RTA_MULTIPATH nexthop

    friend bool operator==(const Route&, const Route&) = default;
};

// Whether traffic can leave by this route: unreachable, blackhole, prohibit and throw routes
// send nothing anywhere.
inline bool carriesTraffic(const Route& route) {
    return route.type != blackhole && route.type != unreachable && route.type != prohibit && route.type != throwRoute;
}

namespace detail {

inline constexpr std::uint16_t newRoute = 24;        // RTM_NEWROUTE
inline constexpr std::size_t routeHeaderLength = 12;  // struct rtmsg
inline constexpr std::size_t nexthopHeaderLength = 8; // struct rtnexthop
inline constexpr std::uint16_t destinationAttribute = 1, interfaceAttribute = 4, gatewayAttribute = 5,
                               multipathAttribute = 9, tableAttribute = 15, viaAttribute = 18;

inline std::size_t addressLength(std::uint8_t family) { return family == familyIPv4 ? 4 : 16; }

inline std::optional<std::uint32_t> word(std::span<const std::uint8_t> payload) {
    if (payload.size() != 4) return std::nullopt;
    std::uint32_t value = 0;
    std::memcpy(&value, payload.data(), 4);
    return value;
}

inline std::optional<std::array<std::uint8_t, 16>> address(std::span<const std::uint8_t> payload,
                                                           std::size_t length) {
    if (payload.size() != length) return std::nullopt;
    std::array<std::uint8_t, 16> value{};
    std::memcpy(value.data(), payload.data(), length);
    return value;
}

// struct rtvia: a two-byte family, then an address of that family.
inline std::optional<std::array<std::uint8_t, 16>> via(std::span<const std::uint8_t> payload) {
    if (payload.size() < 2) return std::nullopt;
    std::uint16_t family = 0;
    std::memcpy(&family, payload.data(), 2);
    if (family != familyIPv4 && family != familyIPv6) return std::nullopt;
    return address(payload.subspan(2), addressLength(static_cast<std::uint8_t>(family)));
}

// A gateway attribute of a route or of a nexthop: false when it is one but malformed.
inline bool readGateway(const netlink::Attribute& attribute, std::uint8_t family, Hop& hop) {
    if (attribute.type == gatewayAttribute) {
        hop.gateway = address(attribute.payload, addressLength(family));
        return hop.gateway.has_value();
    }
    if (attribute.type == viaAttribute) {
        hop.gateway = via(attribute.payload);
        return hop.gateway.has_value();
    }
    return true;
}

// Each struct rtnexthop with its own attributes, or nothing when one is malformed.
inline std::optional<std::vector<Hop>> nexthops(std::span<const std::uint8_t> bytes, std::uint8_t family) {
    std::vector<Hop> hops;
    std::size_t offset = 0;
    while (offset < bytes.size()) {
        if (bytes.size() - offset < nexthopHeaderLength) return std::nullopt;
        std::uint16_t length = 0;
        std::int32_t index = 0;
        std::memcpy(&length, bytes.data() + offset, 2);
        std::memcpy(&index, bytes.data() + offset + 4, 4);
        if (length < nexthopHeaderLength || length > bytes.size() - offset || index < 0) return std::nullopt;
        Hop hop;
        hop.interfaceIndex = static_cast<std::uint32_t>(index);
        auto inner = bytes.subspan(offset + nexthopHeaderLength, length - nexthopHeaderLength);
        for (const auto& attribute : netlink::attributes(inner))
            if (!readGateway(attribute, family, hop)) return std::nullopt;
        hops.push_back(hop);
        offset += std::min(netlink::aligned(length), bytes.size() - offset);
    }
    if (hops.empty()) return std::nullopt;
    return hops;
}

inline std::optional<Route> route(std::span<const std::uint8_t> payload) {
    if (payload.size() < routeHeaderLength) return std::nullopt;
    Route found;
    found.family = payload[0];
    found.destinationLength = payload[1];
    found.table = payload[4];
    found.type = payload[7];
    if (found.family != familyIPv4 && found.family != familyIPv6) return std::nullopt;
    const std::size_t length = addressLength(found.family);
    if (found.destinationLength > length * 8) return std::nullopt;
    Hop single;
    std::optional<std::vector<Hop>> multipath;
    for (const auto& attribute : netlink::attributes(payload.subspan(routeHeaderLength))) {
        switch (attribute.type) {
            case destinationAttribute: {
                auto destination = address(attribute.payload, length);
                if (!destination) return std::nullopt;
                found.destination = *destination;
                break;
            }
            case interfaceAttribute: {
                auto index = word(attribute.payload);
                if (!index) return std::nullopt;
                single.interfaceIndex = *index;
                break;
            }
            case tableAttribute: {
                auto table = word(attribute.payload);
                if (!table) return std::nullopt;
                found.table = *table;
                break;
            }
            case multipathAttribute:
                multipath = nexthops(attribute.payload, found.family);
                if (!multipath) return std::nullopt;
                break;
            default:
                if (!readGateway(attribute, found.family, single)) return std::nullopt;
                break;
        }
    }
    if (multipath)
        found.hops = std::move(*multipath);
    else
        found.hops.push_back(single);
    return found;
}

}  // namespace detail

// The RTM_NEWROUTE messages of a dump, field by field; malformed ones are skipped.
inline std::vector<Route> parse(std::span<const std::uint8_t> dump) {
    std::vector<Route> routes;
    for (const auto& message : netlink::messages(dump)) {
        if (message.type != detail::newRoute) continue;
        if (auto found = detail::route(message.payload)) routes.push_back(std::move(*found));
    }
    return routes;
}

}  // namespace anvil::RouteDump
