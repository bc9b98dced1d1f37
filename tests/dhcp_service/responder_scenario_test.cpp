// Whole exchanges carried from one decision to the next through the returned table.
#include <gtest/gtest.h>

#include "tests/dhcp_service/responder_fixtures.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using Type = DHCPMessageType;
using State = Lease::State;

const MACAddress client = hw("02:00:00:00:00:01");
constexpr double t0 = 1'700'000'000;

// What the runtime does: keep the returned table, probe when asked, decide again.
struct Bench {
    Responder responder{benchConfig()};
    LeaseTable table;
    std::unordered_map<IPv4Address, PresenceState> presence;
    std::vector<IPv4Address> probed;

    template <typename Answer>
    Decision send(const DHCPPacket& packet, double now, Answer answers) {
        DecisionContext context{table, presence, {}, Date{now}};
        for (int round = 0; round <= Timing::maxProbesPerPacket; ++round) {
            auto decision = responder.decide(packet, context);
            auto ip = decision.action.probeAddress();
            if (!ip) {
                table = decision.table;
                return decision;
            }
            probed.push_back(*ip);
            context.probes[*ip] = answers(*ip);
        }
        ADD_FAILURE() << "more probes than the budget allows";
        return {};
    }
    Decision send(const DHCPPacket& packet, double now) {
        return send(packet, now, [](IPv4Address) { return true; });
    }
};

TEST(ResponderScenario, DiscoverOfferRequestAckBindsAndSavesTheLease) {
    Bench bench;
    auto offer = bench.send(Message(Type::discover, client, 7).hostname("printer"), t0);
    ASSERT_NE(offer.action.replyValue(), nullptr);
    auto offered = offer.action.replyValue()->packet;
    EXPECT_FALSE(offer.tableChanged);

    auto request = Message(Type::request, client, 7)
                       .serverID(*IPv4Address::fromBytes(*offered.option(OptionCode::serverID)))
                       .requested(offered.yiaddr);
    auto ack = bench.send(request, t0 + 2);
    const auto* reply = ack.action.replyValue();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->type, Type::ack);
    EXPECT_EQ(reply->packet.yiaddr, addr("192.168.0.100"));
    EXPECT_EQ(reply->packet.xid, 7u);
    EXPECT_EQ(reply->note, "lease 24 h");
    EXPECT_TRUE(ack.tableChanged);

    auto lease = bench.table.lease(client);
    ASSERT_TRUE(lease);
    EXPECT_EQ(lease->state, State::bound);
    EXPECT_EQ(lease->expiresAt, Date{t0 + 2 + 86400});
    EXPECT_EQ(lease->hostname, "printer");  // kept from the DISCOVER though the REQUEST left it out
    EXPECT_EQ(lease->firstSeen, Date{t0});
    EXPECT_EQ(lease->lastSeen, Date{t0 + 2});
    EXPECT_EQ(bench.table.leases().size(), 1u);
}

TEST(ResponderScenario, RenewalIsUnicastToCiaddrAndRestartsTheLease) {
    Bench bench;
    bench.send(Message(Type::discover, client), t0);
    bench.send(Message(Type::request, client).serverID(addr("192.168.0.1")).requested(addr("192.168.0.100")), t0 + 1);

    auto renewal = bench.send(Message(Type::request, client).ciaddr(addr("192.168.0.100")), t0 + 43200);
    const auto* reply = renewal.action.replyValue();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->type, Type::ack);
    EXPECT_EQ(reply->destination, ReplyDestination::unicast(addr("192.168.0.100")));
    EXPECT_EQ(reply->destination.description(), "192.168.0.100:68");
    EXPECT_EQ(reply->packet.ciaddr, addr("192.168.0.100"));
    EXPECT_EQ(reply->packet.yiaddr, addr("192.168.0.100"));
    EXPECT_EQ(bench.table.lease(client)->expiresAt, Date{t0 + 43200 + 86400});

    // After the lease ran out and nobody took the address, a renewal still gets it.
    auto late = bench.send(Message(Type::request, client).ciaddr(addr("192.168.0.100")), t0 + 43200 + 86400 + 10);
    EXPECT_EQ(late.action.replyValue()->type, Type::ack);
}

TEST(ResponderScenario, DeclinedAddressIsQuarantinedForExactly600Seconds) {
    Bench bench;
    bench.send(Message(Type::discover, client), t0);
    bench.send(Message(Type::request, client).serverID(addr("192.168.0.1")).requested(addr("192.168.0.100")), t0 + 1);
    auto decline = bench.send(Message(Type::decline, client).requested(addr("192.168.0.100")), t0 + 2);
    EXPECT_TRUE(decline.tableChanged);
    EXPECT_FALSE(bench.table.lease(client));

    auto next = bench.send(Message(Type::discover, client), t0 + 3);
    EXPECT_EQ(next.action.replyValue()->ip, addr("192.168.0.101"));
    auto asked = bench.send(Message(Type::discover, hw("02:00:00:00:00:05")).requested(addr("192.168.0.100")), t0 + 4);
    EXPECT_EQ(asked.action.replyValue()->ip, addr("192.168.0.102"));

    auto rebooting = Message(Type::request, hw("02:00:00:00:00:09")).requested(addr("192.168.0.100"));
    auto refused = bench.send(rebooting, t0 + 2 + 599.999);
    EXPECT_EQ(refused.action.replyValue()->note, "requested address was declined recently");
    EXPECT_EQ(bench.table.quarantine().size(), 1u);

    auto granted = bench.send(rebooting, t0 + 2 + 600);
    EXPECT_EQ(granted.action.replyValue()->type, Type::ack);
    EXPECT_TRUE(bench.table.quarantine().empty());
}

TEST(ResponderScenario, ReclaimProbesOfflineHoldersAndGivesUpAfterFiveAnswers) {
    // Eight addresses, all bound to devices the presence sweep has not seen.
    Bench bench;
    bench.responder.config.rangeEnd = addr("192.168.0.107");
    for (int i = 0; i < 8; ++i) {
        std::string mac = "02:00:00:00:01:0" + std::to_string(i);
        std::string ip = "192.168.0.10" + std::to_string(i);
        // Lower addresses were seen longer ago, so they are judged first.
        bench.table.upsert(boundLease(mac.c_str(), ip.c_str(), t0 + 3600, t0 - 100 + i));
    }
    auto start = bench.table;
    // The oldest holder is shown online: it is skipped without a probe.
    bench.presence[addr("192.168.0.100")] = PresenceState::online;

    auto exhausted = bench.send(Message(Type::discover, client), t0, [](IPv4Address) { return true; });
    EXPECT_EQ(bench.probed, (std::vector{addr("192.168.0.101"), addr("192.168.0.102"), addr("192.168.0.103"),
                                         addr("192.168.0.104"), addr("192.168.0.105")}));
    EXPECT_EQ(exhausted.notes, std::vector{ServerEvent::dropped("address pool exhausted", client)});
    EXPECT_EQ(bench.table, start);

    bench.probed.clear();
    auto silentThird = [](IPv4Address ip) { return ip != addr("192.168.0.103"); };
    auto reclaimed = bench.send(Message(Type::discover, client), t0, silentThird);
    EXPECT_EQ(bench.probed, (std::vector{addr("192.168.0.101"), addr("192.168.0.102"), addr("192.168.0.103")}));
    const auto* reply = reclaimed.action.replyValue();
    ASSERT_NE(reply, nullptr);
    EXPECT_EQ(reply->ip, addr("192.168.0.103"));
    EXPECT_EQ(bench.table.lease(hw("02:00:00:00:01:03"))->state, State::reclaimed);
    EXPECT_EQ(bench.table.holder(addr("192.168.0.103"), Date{t0})->mac, client);
    EXPECT_TRUE(reclaimed.tableChanged);

    // A pending offer is never reclaimed, even when its device is silent.
    bench.probed.clear();
    auto late = bench.send(Message(Type::discover, hw("02:00:00:00:00:77")), t0 + 1, [](IPv4Address) { return false; });
    EXPECT_EQ(std::count(bench.probed.begin(), bench.probed.end(), addr("192.168.0.103")), 0);
    EXPECT_EQ(std::count(bench.probed.begin(), bench.probed.end(), addr("192.168.0.100")), 0);
    ASSERT_NE(late.action.replyValue(), nullptr);
}

TEST(ResponderScenario, APCDevicesGetTheVendorCookieOnTheWire) {
    Bench bench;
    auto offer = bench.send(Message(Type::discover, client).vendorClass("APCUPS"), t0);
    auto wire = offer.action.replyValue()->packet.serialize(DHCPPacket::minimumReplyLength);
    auto parsed = DHCPPacket::parse(wire);
    EXPECT_EQ(optionCodes(parsed), (std::vector<std::uint8_t>{53, 54, 51, 58, 59, 1, 28, 43}));
    EXPECT_EQ(parsed.option(43), (Bytes{1, 4, 0x31, 0x41, 0x50, 0x43}));
    EXPECT_EQ(offer.action.replyValue()->note, "+APC cookie");
    EXPECT_EQ(bench.table.lease(client)->vendorClass, "APCUPS");

    auto ack = bench.send(Message(Type::request, client)
                              .serverID(addr("192.168.0.1"))
                              .requested(addr("192.168.0.100"))
                              .vendorClass("APC"),
                          t0 + 1);
    EXPECT_EQ(ack.action.replyValue()->note, "lease 24 h, +APC cookie");

    // Only a vendor class that begins with the three letters counts.
    for (const char* vendor : {"apc", "AP", "MSFT 5.0 APC"}) {
        auto plain = bench.send(Message(Type::discover, hw("02:00:00:00:00:42")).vendorClass(vendor), t0 + 2);
        EXPECT_FALSE(plain.action.replyValue()->packet.option(43)) << vendor;
    }
}

TEST(ResponderScenario, RvalueContextGivesTheSameDecision) {
    Bench bench;
    bench.send(Message(Type::discover, client), t0);
    auto packet = Message(Type::request, client).serverID(addr("192.168.0.1")).requested(addr("192.168.0.100"));
    DecisionContext context{bench.table, {}, {}, Date{t0 + 1}};
    auto copied = bench.responder.decide(packet, context);
    EXPECT_EQ(bench.responder.decide(packet, std::move(context)), copied);
}

}  // namespace
}  // namespace anvil
