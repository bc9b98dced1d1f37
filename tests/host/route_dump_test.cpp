// Routes of every table from the kernel's dump bytes.
#include "core/host/route_dump.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tests/host/netlink_builders.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using RouteDump::Hop;
using RouteDump::Route;

constexpr std::uint8_t inet = 2, inet6 = 10, mainTable = 254;
constexpr std::uint16_t dst = 1, oif = 4, gatewayType = 5, multipath = 9, tableType = 15, via = 18;

std::array<std::uint8_t, 16> wide(std::initializer_list<std::uint8_t> bytes) {
    std::array<std::uint8_t, 16> value{};
    std::copy(bytes.begin(), bytes.end(), value.begin());
    return value;
}

Route route(std::uint8_t family, std::uint32_t table, std::uint8_t type, std::vector<Hop> hops,
            std::uint8_t length = 0, std::array<std::uint8_t, 16> destination = {}) {
    return Route{family, table, type, length, destination, std::move(hops)};
}

TEST(RouteDump, ReadsEveryTableHopAndGatewayAndSkipsMalformedRoutes) {
    const Bytes gateway4{192, 168, 1, 1}, gateway6{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    const Bytes viaIPv6 = concatenated({Bytes{10, 0}, gateway6});
    const auto good = routeMessage(inet, 0, mainTable, 1, concatenated({rtattr(gatewayType, gateway4), rtattr(oif, u32(3))}));
    const Route goodRoute = route(inet, mainTable, 1, {{3, wide({192, 168, 1, 1})}});
    struct Row {
        std::string what;
        Bytes dump;
        std::vector<Route> routes;
    };
    const Row rows[] = {
        {"a default route of the main table", good, {goodRoute}},
        {"a default route in table 100",
         routeMessage(inet, 0, 100, 1, concatenated({rtattr(tableType, u32(100)), rtattr(gatewayType, gateway4),
                                                     rtattr(oif, u32(7))})),
         {route(inet, 100, 1, {{7, wide({192, 168, 1, 1})}})}},
        {"a table above 255 is in RTA_TABLE alone",
         routeMessage(inet, 0, 252, 1, concatenated({rtattr(tableType, u32(1000)), rtattr(oif, u32(7))})),
         {route(inet, 1000, 1, {{7, std::nullopt}})}},
        {"a multipath default route, one hop per nexthop",
         routeMessage(inet, 0, mainTable, 1,
                      rtattr(multipath, concatenated({nexthop(3, rtattr(gatewayType, gateway4)),
                                                      nexthop(4, rtattr(gatewayType, Bytes{10, 0, 0, 1}))}))),
         {route(inet, mainTable, 1, {{3, wide({192, 168, 1, 1})}, {4, wide({10, 0, 0, 1})}})}},
        {"an IPv4 route through an IPv6 neighbour",
         routeMessage(inet, 0, mainTable, 1, concatenated({rtattr(via, viaIPv6), rtattr(oif, u32(5))})),
         {route(inet, mainTable, 1, {{5, wide({0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1})}})}},
        {"an unreachable IPv6 default",
         routeMessage(inet6, 0, mainTable, 7, concatenated({rtattr(tableType, u32(mainTable)), rtattr(oif, u32(1))})),
         {route(inet6, mainTable, 7, {{1, std::nullopt}})}},
        {"an IPv6 prefix route",
         routeMessage(inet6, 64, mainTable, 1,
                      concatenated({rtattr(dst, Bytes{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                                    rtattr(oif, u32(2))})),
         {route(inet6, mainTable, 1, {{2, std::nullopt}}, 64, wide({0xfd}))}},
        // Each malformed route is skipped, and the dump goes on after it.
        {"a route header cut short", concatenated({nlmsg(24, Bytes{2, 0, 0, 0, 254, 3}), good}), {goodRoute}},
        {"a prefix longer than the address",
         concatenated({routeMessage(inet, 33, mainTable, 1, rtattr(oif, u32(3))), good}),
         {goodRoute}},
        {"a two-byte interface index",
         concatenated({routeMessage(inet, 0, mainTable, 1, rtattr(oif, Bytes{3, 0})), good}),
         {goodRoute}},
        {"a via of an unknown family",
         concatenated({routeMessage(inet, 0, mainTable, 1, rtattr(via, Bytes{28, 0, 1, 2, 3, 4})), good}),
         {goodRoute}},
        {"a nexthop longer than its list",
         concatenated({routeMessage(inet, 0, mainTable, 1, rtattr(multipath, Bytes{40, 0, 0, 0, 3, 0, 0, 0})), good}),
         {goodRoute}},
        {"another family and another message type",
         concatenated({routeMessage(28, 0, mainTable, 1, rtattr(oif, u32(3))), nlmsg(16, Bytes(16, 0)), good}),
         {goodRoute}},
        {"nothing after the done message", concatenated({good, done(), good}), {goodRoute}},
        {"a message longer than the dump", Bytes(good.begin(), good.end() - 4), {}},
    };
    for (const auto& row : rows) EXPECT_EQ(RouteDump::parse(row.dump), row.routes) << row.what;
}

// The kernel's local table holds the loopback routes: tables other than main are read.
}  // namespace
}  // namespace anvil
