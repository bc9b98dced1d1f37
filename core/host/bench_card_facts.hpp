#pragma once
// What the bench-card rule needs to know of one card, taken from the kernel's link and route
// dumps. Header-only and standard library alone: dhcpanvil-helper decides from it too.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/host/bench_card_rule.hpp"
#include "core/host/link_dump.hpp"
#include "core/host/route_dump.hpp"

namespace anvil::BenchCardFacts {

// The links with a default route of any table, IPv4 or IPv6, that carries traffic.
inline std::unordered_set<std::uint32_t> defaultRouteLinks(const std::vector<RouteDump::Route>& routes) {
    std::unordered_set<std::uint32_t> found;
    for (const auto& route : routes) {
        if (route.destinationLength != 0 || !RouteDump::carriesTraffic(route)) continue;
        for (const auto& hop : route.hops)
            if (hop.interfaceIndex != 0) found.insert(hop.interfaceIndex);
    }
    return found;
}

// Everything but `wireless`, which only /sys shows, of link `index` named `name`; nothing when
// the dump has no such link.
inline std::optional<BenchCardRule::Card> of(std::string_view name, std::uint32_t index,
                                             const std::vector<LinkDump::Link>& links,
                                             const std::vector<RouteDump::Route>& routes) {
    std::unordered_map<std::uint32_t, const LinkDump::Link*> byIndex;
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> uppers;
    for (const auto& link : links) {
        byIndex.emplace(link.index, &link);
        if (link.lower != 0) uppers[link.lower].push_back(link.index);
    }
    auto self = byIndex.find(index);
    if (self == byIndex.end() || self->second->name != name) return std::nullopt;
    const LinkDump::Link& card = *self->second;
    const auto routed = defaultRouteLinks(routes);
    auto nameOf = [&](std::uint32_t at) {
        auto found = byIndex.find(at);
        return found == byIndex.end() ? "link " + std::to_string(at) : found->second->name;
    };
    // The first link at or above `start` (its uppers and masters, over and over) with a default
    // route, never passing through the card itself; each link is visited once.
    auto carrierAbove = [&](std::uint32_t start) -> std::optional<std::string> {
        std::unordered_set<std::uint32_t> seen{index, start};
        std::vector<std::uint32_t> next{start};
        while (!next.empty()) {
            auto at = next.back();
            next.pop_back();
            if (routed.count(at)) return nameOf(at);
            std::vector<std::uint32_t> above;
            if (auto found = uppers.find(at); found != uppers.end()) above = found->second;
            if (auto found = byIndex.find(at); found != byIndex.end() && found->second->master != 0)
                above.push_back(found->second->master);
            for (auto up : above)
                if (seen.insert(up).second) next.push_back(up);
        }
        return std::nullopt;
    };

    BenchCardRule::Card facts;
    facts.name = name;
    facts.linkType = card.linkType;
    facts.bridge = card.kind == "bridge";
    facts.carriesDefaultRoute = routed.count(index) != 0;
    auto& stacking = facts.stacking;
    if (card.master != 0) {
        auto master = byIndex.find(card.master);
        stacking.master = BenchCardRule::Link{nameOf(card.master), master == byIndex.end() ? "" : master->second->kind};
    }
    if (auto found = uppers.find(index); found != uppers.end())
        for (auto upper : found->second)
            if (auto carrier = carrierAbove(upper)) {
                stacking.routedUpper = BenchCardRule::Link{nameOf(upper), byIndex.at(upper)->kind};
                stacking.routeCarrier = *carrier;
                break;
            }
    if (!stacking.routedUpper && card.lower != 0)
        if (auto carrier = carrierAbove(card.lower)) {
            stacking.routedLower = BenchCardRule::Link{nameOf(card.lower), card.kind};
            stacking.routeCarrier = *carrier;
        }
    return facts;
}

}  // namespace anvil::BenchCardFacts
