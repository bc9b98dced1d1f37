#include "core/dhcp_service/source_screen.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }

// Only a device is listened to: a program on this computer can reach port 67 of the card, but
// not from the privileged client port, and its datagrams carry one of this computer's addresses.
TEST(SourceScreen, OnlyDevicesAtTheClientPortAreListenedTo) {
    const std::unordered_set<IPv4Address> own{ip("192.168.0.1"), ip("10.1.2.3"), ip("127.0.0.1")};
    const SourceRules card{68, true};
    const SourceRules loopback{6868, false};
    struct Case {
        const char* what;
        DatagramSource source;
        SourceRules rules;
        std::optional<std::string> refusal;
    };
    std::vector<Case> cases{
        {"device without an address", {IPv4Address::zero, 68}, card, std::nullopt},
        {"device renewing", {ip("192.168.0.150"), 68}, card, std::nullopt},
        {"local program from a high port",
         {ip("192.168.0.1"), 40000},
         card,
         "source port 40000 is not the client port 68"},
        {"device from the server port", {IPv4Address::zero, 67}, card, "source port 67 is not the client port 68"},
        {"this computer's card address",
         {ip("192.168.0.1"), 68},
         card,
         "sent from 192.168.0.1, an address of this computer"},
        {"this computer's other card", {ip("10.1.2.3"), 68}, card, "sent from 10.1.2.3, an address of this computer"},
        {"loopback other than this computer's",
         {ip("127.0.0.5"), 68},
         card,
         "sent from 127.0.0.5, a loopback address"},
        {"loopback test client", {ip("127.0.0.1"), 6868}, loopback, std::nullopt},
        {"loopback from port 68", {ip("127.0.0.1"), 68}, loopback, "source port 68 is not the client port 6868"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(sourceRefusal(c.source, c.rules, own), c.refusal);
    }
}

}  // namespace
}  // namespace anvil
