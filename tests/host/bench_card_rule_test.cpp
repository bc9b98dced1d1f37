// The one rule for the cards the helper serves and both programs offer, and the route tables it
// reads "carries a default route" from.
#include "core/host/bench_card_rule.hpp"

#include <gtest/gtest.h>

#include "core/host/default_routes.hpp"

namespace anvil {
namespace {

TEST(BenchCardRule, RefusesEverythingButAWiredEthernetCardWithoutADefaultRoute) {
    using Card = BenchCardRule::Card;
    constexpr int ether = BenchCardRule::ethernetLinkType;
    struct Row {
        Card card;
        std::optional<std::string> refusal;
    };
    const Row rows[] = {
        {{"enx00e04c680001", ether, false, false, false, {}}, std::nullopt},
        {{"eth1", ether, false, false, false, {}}, std::nullopt},
        {{"eth0", ether, false, false, true, {}},
         "card eth0 carries a default route: it is this computer's own connection, not a bench card"},
        {{"enp0s3", ether, true, false, false, {}}, "card enp0s3 is a wireless card, not a wired Ethernet card"},
        {{"enbr0", ether, false, true, false, {}}, "card enbr0 is a bridge, not a wired Ethernet card"},
        {{"entun0", 65534, false, false, false, {}}, "card entun0 is not an Ethernet card"},
        {{"en0", 772, false, false, false, {}}, "card en0 is not an Ethernet card"},
        // Its place among the links: a port of anything, or stacked with the computer's connection.
        {{"enx1", ether, false, false, false, {BenchCardRule::Link{"br0", "bridge"}, {}, {}, ""}},
         "card enx1 is a port of the bridge br0: what it carries is br0's traffic, so it is not a bench card"},
        {{"eth2", ether, false, false, false, {BenchCardRule::Link{"bond0", "bond"}, {}, {}, ""}},
         "card eth2 is a port of the bond bond0: what it carries is bond0's traffic, so it is not a bench card"},
        {{"eth2", ether, false, false, false, {BenchCardRule::Link{"link 9", ""}, {}, {}, ""}},
         "card eth2 is a port of link 9: what it carries is link 9's traffic, so it is not a bench card"},
        {{"eth3", ether, false, false, false, {{}, BenchCardRule::Link{"eth3.7", "vlan"}, {}, "eth3.7"}},
         "card eth3 is under the VLAN eth3.7, which carries a default route: it is part of this computer's own "
         "connection, not a bench card"},
        {{"eth3", ether, false, false, false, {{}, BenchCardRule::Link{"mv0", "macvlan"}, {}, "br1"}},
         "card eth3 is under the macvlan mv0, and through it br1 carries a default route: it is part of this "
         "computer's own connection, not a bench card"},
        {{"enmv1", ether, false, false, false, {{}, {}, BenchCardRule::Link{"eth0", "macvlan"}, "eth0"}},
         "card enmv1 is a macvlan on eth0, which carries a default route: it is part of this computer's own "
         "connection, not a bench card"},
        // The name is judged before anything read under it.
        {{"wlan0", ether, true, false, true, {}},
         "card wlan0 is not offered: only cards named \"en…\" or \"eth…\" are served"},
        {{"eth0.100", ether, false, false, false, {}},
         "the card name eth0.100 contains a character other than a letter, a digit, \"-\" or \"_\""},
        {{"en/../lo", ether, false, false, false, {}}, "the card name contains \"/\""},
        {{"", ether, false, false, false, {}}, "the card name is empty"},
        {{"en0123456789abcd", ether, false, false, false, {}}, "the card name is longer than 15 bytes"},
        {{"en012345678abcd", ether, false, false, false, {}}, std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(BenchCardRule::refusal(row.card), row.refusal) << row.card.name;
}

TEST(DefaultRoutes, ReadsUsableDefaultRoutesOfBothTables) {
    const std::string header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
    auto v4 = [](const std::string& card, const std::string& destination, const std::string& flags,
                 const std::string& mask) {
        return card + "\t" + destination + "\t0102A8C0\t" + flags + "\t0\t0\t100\t" + mask + "\t0\t0\t0\n";
    };
    const std::string zero(32, '0');
    auto v6 = [&](const std::string& card, const std::string& destination, const std::string& length,
                  const std::string& flags) {
        return destination + " " + length + " " + zero + " 00 " + zero + " 00000400 00000001 00000000 " + flags + " " +
               card + "\n";
    };
    struct Row {
        std::string what, ipv4, ipv6;
        std::vector<std::string> cards;
    };
    const Row rows[] = {
        {"IPv4 default",
         header + v4("eth0", "00000000", "0003", "00000000") + v4("en1", "0000A8C0", "0001", "00FFFFFF"),
         "",
         {"eth0"}},
        {"a default route that is down", header + v4("eth0", "00000000", "0002", "00000000"), "", {}},
        {"a reject default route", header + v4("eth0", "00000000", "0201", "00000000"), "", {}},
        {"the header alone is no route", v4("eth0", "00000000", "0003", "00000000"), "", {}},
        {"IPv6 default",
         header,
         v6("en2", zero, "00", "00000003") + v6("en1", "fd00" + zero.substr(4), "40", "00000001"),
         {"en2"}},
        {"the kernel's unreachable IPv6 default on lo", header, v6("lo", zero, "00", "00200200"), {}},
        {"an IPv6 default that is up but rejects", header, v6("eth0", zero, "00", "00200201"), {}},
        {"a longer name is another card", header + v4("eth10", "00000000", "0003", "00000000"), "", {"eth10"}},
        {"both tables, each card once",
         header + v4("eth0", "00000000", "0003", "00000000"),
         v6("eth0", zero, "00", "00000003") + v6("wlan0", zero, "00", "00450003"),
         {"eth0", "wlan0"}},
        {"short and garbled lines",
         header + "eth0 00000000 0003\n" + v4("eth9", "00000000", "zz", "00000000"),
         "garbage\n" + v6("en3", zero, "00", "0000000g"),
         {}},
        {"no tables", "", "", {}},
    };
    for (const auto& row : rows) EXPECT_EQ(DefaultRoutes::cards(row.ipv4, row.ipv6), row.cards) << row.what;
    // A card carries one when its own name is among them, not a name it begins.
    const auto eth10 = header + v4("eth10", "00000000", "0003", "00000000");
    EXPECT_FALSE(DefaultRoutes::carries("eth0", eth10, ""));
    EXPECT_TRUE(DefaultRoutes::carries("eth10", eth10, ""));
}

}  // namespace
}  // namespace anvil
