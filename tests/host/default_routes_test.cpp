#include "core/host/linux/default_routes.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

constexpr const char* ipv4Header = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

TEST(DefaultRoutes, aCardCarriesOneWhenAnUpDefaultRouteLeavesThroughIt) {
    struct Case {
        const char* name;
        std::string ipv4, ipv6;
        bool carries;
    };
    const std::string ipv6Unreachable = "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                                        "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n";
    const Case cases[] = {
        {"IPv4 default", "eth0\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", "", true},
        {"IPv4 route to a network only", "eth0\t0000A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n", "", false},
        {"IPv4 default of another card", "eth10\t00000000\t0100A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n", "", false},
        {"IPv4 default that is down", "eth0\t00000000\t0100A8C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n", "", false},
        {"IPv6 default", "",
         "00000000000000000000000000000000 00 00000000000000000000000000000000 00 fe800000000000000000000000000001 "
         "00000400 00000001 00000000 00450003     eth0\n" + ipv6Unreachable,
         true},
        {"IPv6 network route only", "",
         "fd000000000000000000000000000000 40 00000000000000000000000000000000 00 00000000000000000000000000000000 "
         "00000100 00000001 00000000 00000001     eth0\n",
         false},
        {"IPv6 unreachable default", "",
         "00000000000000000000000000000000 00 00000000000000000000000000000000 00 00000000000000000000000000000000 "
         "ffffffff 00000001 00000000 00200201     eth0\n",
         false},
        {"nothing readable", "garbage", "garbage", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(LinuxHost::carriesDefaultRoute("eth0", ipv4Header + c.ipv4, c.ipv6), c.carries) << c.name;
}

}  // namespace
}  // namespace anvil
