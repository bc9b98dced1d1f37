// What the advice may not take, from the host's addresses and routes: the office side of the
// computer, every table, and never the bench card's own network.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/watch_service/bench_facts.hpp"

namespace anvil {
namespace {

RouteDump::Route route(IPv4Address destination, std::uint8_t length, std::uint32_t index,
                       std::optional<IPv4Address> gateway = {}, std::uint32_t table = 254,
                       std::uint8_t type = RouteDump::unicast) {
    RouteDump::Route made;
    made.family = RouteDump::familyIPv4;
    made.table = table;
    made.type = type;
    made.destinationLength = length;
    auto put = [](std::array<std::uint8_t, 16>& bytes, IPv4Address ip) {
        for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(ip.value >> (24 - 8 * i));
    };
    put(made.destination, destination);
    RouteDump::Hop hop;
    hop.interfaceIndex = index;
    if (gateway) {
        hop.gateway.emplace();
        put(*hop.gateway, *gateway);
    }
    made.hops.push_back(hop);
    return made;
}

TEST(BenchFacts, theOfficeSideInEveryTableIsOffLimits) {
    const std::uint32_t bench = 7, office = 3, loopback = 1;
    std::vector<InterfaceAddress> addresses{{"enx0", {{10, 77, 0, 1}, 24}},
                                            {"office", {{10, 78, 0, 5}, 24}},
                                            {"lo", {{127, 0, 0, 1}, 8}}};
    std::vector<RouteDump::Route> routes{
        route({0, 0, 0, 0}, 0, office, IPv4Address{10, 78, 0, 1}),
        route({10, 78, 0, 0}, 24, office),
        route({10, 80, 0, 0}, 16, office, IPv4Address{10, 78, 0, 9}, 100),
        route({10, 77, 0, 0}, 24, bench),
        route({192, 168, 50, 0}, 24, bench, IPv4Address{10, 77, 0, 20}),
        route({10, 99, 0, 0}, 16, office, {}, 254, RouteDump::unreachable),
        route({127, 0, 0, 1}, 32, loopback, {}, 255, 2),
    };
    auto facts = BenchFacts::from("enx0", bench, Subnet::make({10, 77, 0, 1}, 24), addresses, routes);
    EXPECT_EQ(facts.cardAddresses, std::vector<IPv4Address>{IPv4Address(10, 77, 0, 1)});
    EXPECT_EQ(facts.localAddresses,
              (std::unordered_set<IPv4Address>{{10, 77, 0, 1}, {10, 78, 0, 5}, {127, 0, 0, 1}}));
    EXPECT_EQ(facts.routeGateways, (std::unordered_set<IPv4Address>{{10, 78, 0, 1}, {10, 78, 0, 9}, {10, 77, 0, 20}}));
    auto has = [&](Subnet network) {
        return std::find(facts.otherNetworks.begin(), facts.otherNetworks.end(), network) != facts.otherNetworks.end();
    };
    struct Row {
        const char* what;
        Subnet network;
        bool offLimits;
    };
    const std::vector<Row> rows{
        {"the office card's network", {{10, 78, 0, 5}, 24}, true},
        {"loopback", {{127, 0, 0, 1}, 8}, true},
        {"a network routed through the office in table 100", {{10, 80, 0, 0}, 16}, true},
        {"the bench card's own network", {{10, 77, 0, 1}, 24}, false},
        {"a network routed through the bench card", {{192, 168, 50, 0}, 24}, false},
        {"an unreachable route", {{10, 99, 0, 0}, 16}, false},
        {"the default route", {{0, 0, 0, 0}, 0}, false},
    };
    for (const auto& row : rows) EXPECT_EQ(has(row.network), row.offLimits) << row.what;
}

}  // namespace
}  // namespace anvil
