// How a card sits among the links and routes of the kernel's dumps, from their bytes.
#include "core/host/bench_card_facts.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tests/host/netlink_builders.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using BenchCardRule::Link;
using BenchCardRule::Stacking;

constexpr std::uint16_t ether = 1, nameType = 3, lowerType = 5, masterType = 10, lowerNamespace = 37;
constexpr std::uint16_t oif = 4, gatewayType = 5, multipath = 9, tableType = 15;

Bytes link(std::int32_t index, std::string_view name, const Bytes& more = {}) {
    return linkMessage(index, ether, concatenated({rtattr(nameType, text(name)), more}));
}

TEST(LinkDump, ReadsMastersLowerLinksAndKindsAndSkipsMalformedLinks) {
    const auto good = link(2, "eth0");
    const LinkDump::Link goodLink{2, "eth0", ether, 0, 0, ""};
    struct Row {
        std::string what;
        Bytes dump;
        std::vector<LinkDump::Link> links;
    };
    const Row rows[] = {
        {"a plain card", good, {goodLink}},
        {"a bridge port", link(4, "enx1", rtattr(masterType, u32(3))), {{4, "enx1", ether, 3, 0, ""}}},
        {"a VLAN on its parent", link(8, "eth0.7", concatenated({rtattr(lowerType, u32(2)), linkKind("vlan")})),
         {{8, "eth0.7", ether, 0, 2, "vlan"}}},
        {"a veth whose peer is in another namespace",
         link(12, "veth0", concatenated({rtattr(lowerType, u32(2)), rtattr(lowerNamespace, u32(0)), linkKind("veth")})),
         {{12, "veth0", ether, 0, 0, "veth"}}},
        {"a link that is its own lower link", link(5, "en5", rtattr(lowerType, u32(5))), {{5, "en5", ether, 0, 0, ""}}},
        {"no name", concatenated({linkMessage(3, ether, rtattr(masterType, u32(1))), good}), {goodLink}},
        {"a name without its terminator",
         concatenated({linkMessage(3, ether, rtattr(nameType, Bytes{'e', 'n', '1'})), good}), {goodLink}},
        {"a name longer than 15 bytes", concatenated({link(3, "en0123456789abcd"), good}), {goodLink}},
        {"a kind without its terminator",
         concatenated({link(3, "en3", rtattr(18 | 0x8000, rtattr(1, Bytes{'v', 'l'}))), good}), {goodLink}},
        {"a header cut short", concatenated({nlmsg(16, Bytes(12, 0)), good}), {goodLink}},
    };
    for (const auto& row : rows) EXPECT_EQ(LinkDump::parse(row.dump), row.links) << row.what;
}

// One namespace with the ways a card can belong to the computer's own connection, each card
// judged from the dumps' bytes.
TEST(BenchCardFacts, FindsDefaultRoutesOfEveryTableAndTheLinksStackedWithThem) {
    const Bytes gateway{10, 0, 0, 1};
    auto defaultVia = [&](std::uint32_t table, std::uint8_t type, std::uint32_t index) {
        return routeMessage(2, 0, table < 256 ? static_cast<std::uint8_t>(table) : 252, type,
                            concatenated({rtattr(tableType, u32(table)), rtattr(gatewayType, gateway),
                                          rtattr(oif, u32(index))}));
    };
    const auto links = LinkDump::parse(concatenated({
        link(2, "eth0"),                                              // the uplink
        link(3, "br0", linkKind("bridge")),                           // the uplink's bridge
        link(4, "enport", rtattr(masterType, u32(3))),                // its port
        link(5, "bond0", linkKind("bond")),                           //
        link(6, "enslave", rtattr(masterType, u32(5))),               // a bond slave
        link(7, "enparent"),                                          //
        link(8, "enparent.7", concatenated({rtattr(lowerType, u32(7)), linkKind("vlan")})),  // routed VLAN
        link(9, "entable"),                                           // default route in table 100 only
        link(10, "enmulti"),                                          // a nexthop of a multipath default
        link(11, "enunreach"),                                        // an unreachable default
        link(13, "enmacvlan", concatenated({rtattr(lowerType, u32(2)), linkKind("macvlan")})),
        link(14, "enok"),                                             // a bench card
        link(15, "endeep"),                                           // under a macvlan in a routed bridge
        link(16, "mv2", concatenated({rtattr(lowerType, u32(15)), rtattr(masterType, u32(17)), linkKind("macvlan")})),
        link(17, "br2", linkKind("bridge")),
        link(18, "enlocal"),                                          // a route to a network, not a default
    }));
    const auto routes = RouteDump::parse(concatenated({
        defaultVia(254, 1, 2),
        defaultVia(254, 1, 8),
        defaultVia(100, 1, 9),
        routeMessage(2, 0, 200, 1,
                     concatenated({rtattr(tableType, u32(200)),
                                   rtattr(multipath, concatenated({nexthop(2, rtattr(gatewayType, gateway)),
                                                                   nexthop(10, rtattr(gatewayType, gateway))}))})),
        routeMessage(10, 0, 254, 7, concatenated({rtattr(tableType, u32(254)), rtattr(oif, u32(11))})),
        defaultVia(1000, 1, 17),
        routeMessage(2, 24, 254, 1, concatenated({rtattr(1, Bytes{10, 9, 0, 0}), rtattr(oif, u32(18))})),
    }));
    struct Row {
        std::string name;
        std::uint32_t index;
        bool carriesDefaultRoute;
        Stacking stacking;
    };
    const Row rows[] = {
        {"eth0", 2, true, {}},
        {"enport", 4, false, {Link{"br0", "bridge"}, {}, {}, ""}},
        {"enslave", 6, false, {Link{"bond0", "bond"}, {}, {}, ""}},
        {"enparent", 7, false, {{}, Link{"enparent.7", "vlan"}, {}, "enparent.7"}},
        {"entable", 9, true, {}},
        {"enmulti", 10, true, {}},
        {"enunreach", 11, false, {}},
        {"enmacvlan", 13, false, {{}, {}, Link{"eth0", "macvlan"}, "eth0"}},
        {"enok", 14, false, {}},
        {"endeep", 15, false, {{}, Link{"mv2", "macvlan"}, {}, "br2"}},
        {"enlocal", 18, false, {}},
    };
    for (const auto& row : rows) {
        auto facts = BenchCardFacts::of(row.name, row.index, links, routes);
        ASSERT_TRUE(facts) << row.name;
        EXPECT_EQ(facts->linkType, ether) << row.name;
        EXPECT_EQ(facts->carriesDefaultRoute, row.carriesDefaultRoute) << row.name;
        EXPECT_EQ(facts->stacking, row.stacking) << row.name;
    }
    EXPECT_TRUE(BenchCardFacts::of("br0", 3, links, routes)->bridge);
    // A name and index the dump does not pair is no card to judge.
    EXPECT_FALSE(BenchCardFacts::of("enok", 15, links, routes));
    EXPECT_FALSE(BenchCardFacts::of("enok", 40, links, routes));
}

}  // namespace
}  // namespace anvil
