// A plain BOOTP request (no option 53) against the responder: the BOOTREPLY, its lease, and when it is refused.
#include <gtest/gtest.h>

#include <unordered_map>

#include "tests/dhcp_service/responder_fixtures.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;

constexpr double t0 = 1'700'000'000;
const MACAddress client = hw("02:00:00:00:00:01");

Message bootRequest() {
    return std::move(Message(DHCPMessageType::discover, client).withoutOption(OptionCode::messageType));
}

// "BOOTREPLY <yiaddr>", "probe <ip>" or "dropped <reason>".
std::string outcome(const Decision& decision) {
    if (auto reply = decision.action.replyValue())
        return (reply->type ? "typed reply " : "BOOTREPLY ") + reply->packet.yiaddr.description();
    if (auto probe = decision.action.probeAddress()) return "probe " + probe->description();
    for (const auto& event : decision.notes)
        if (auto dropped = event.as<ServerEvent::Dropped>()) return "dropped " + dropped->reason;
    return "nothing";
}

TEST(ResponderBootRequest, GetsABootReplyWithABoundLeaseOrIsRefused) {
    auto plain = benchConfig();
    plain.router = addr("192.168.0.1");
    plain.dns = {addr("9.9.9.9")};
    auto boot = plain;
    boot.boot = BootConfig{"/srv/boot", "pxelinux.0", {}};
    auto off = plain;
    off.answerBOOTP = false;
    auto pool = plain;
    pool.rangeEnd = pool.rangeStart;

    LeaseTable earlier;
    auto own = boundLease("02:00:00:00:00:01", "192.168.0.150", t0 + 100, t0 - 500);
    own.bootp = true;
    earlier.upsert(own);
    LeaseTable full;
    full.upsert(boundLease("02:00:00:00:00:10", "192.168.0.100", t0 + 3600, t0 - 50));

    struct Case {
        const char* name;
        ServerConfig config;
        LeaseTable table;
        Message request;
        std::unordered_map<IPv4Address, bool> probes;
        std::string outcome;
        std::vector<std::uint8_t> options = {1, 28, 3, 6};
        IPv4Address siaddr = IPv4Address::zero;
        std::string file = "";
        ReplyDestination destination = ReplyDestination::broadcast();
    };
    const std::vector<Case> cases{
        {"first request", plain, {}, bootRequest(), {}, "BOOTREPLY 192.168.0.100"},
        {"network boot on", boot, {}, bootRequest(), {}, "BOOTREPLY 192.168.0.100", {1, 28, 3, 6, 66, 67},
         addr("192.168.0.1"), "pxelinux.0"},
        {"repeat request refreshes the lease", plain, earlier, bootRequest(), {}, "BOOTREPLY 192.168.0.150"},
        {"knows its address", plain, {}, std::move(bootRequest().ciaddr(addr("192.168.0.120"))), {},
         "BOOTREPLY 192.168.0.120", {1, 28, 3, 6}, IPv4Address::zero, "",
         ReplyDestination::unicast(addr("192.168.0.120"))},
        {"reclaim waits for a probe", pool, full, bootRequest(), {}, "probe 192.168.0.100"},
        {"reclaim after a silent probe", pool, full, bootRequest(), {{addr("192.168.0.100"), false}},
         "BOOTREPLY 192.168.0.100"},
        {"BOOTP turned off", off, earlier, bootRequest(), {}, "dropped BOOTP request (not served)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto context = contextAt(t0, c.table);
        context.probes = c.probes;
        auto decision = Responder{c.config}.decide(c.request, context);
        EXPECT_EQ(outcome(decision), c.outcome);
        auto reply = decision.action.replyValue();
        if (!reply) {
            EXPECT_FALSE(decision.tableChanged);
            EXPECT_EQ(decision.table.lease(client), c.table.lease(client));
            continue;
        }
        EXPECT_EQ(reply->destination, c.destination);
        // RFC 1497 vendor area: the magic cookie, then options; no DHCP option 53, 54, 51, 58 or 59.
        auto wire = reply->packet.serialize(DHCPPacket::minimumReplyLength);
        ASSERT_GE(wire.size(), DHCPPacket::headerLength + 64);
        EXPECT_TRUE(std::equal(DHCPPacket::magicCookie.begin(), DHCPPacket::magicCookie.end(),
                               wire.begin() + DHCPPacket::headerLength));
        auto parsed = DHCPPacket::parse(wire);
        EXPECT_EQ(optionCodes(parsed), c.options);
        EXPECT_EQ(parsed.siaddr, c.siaddr);
        EXPECT_EQ(parsed.file, c.file);
        // No renewals: bound at once for the lease time, saved before the reply leaves.
        auto lease = decision.table.lease(client);
        ASSERT_TRUE(lease);
        EXPECT_EQ(lease->ip, parsed.yiaddr);
        EXPECT_EQ(lease->state, Lease::State::bound);
        EXPECT_TRUE(lease->bootp);
        EXPECT_EQ(lease->expiresAt, Date{t0 + c.config.leaseSeconds});
        EXPECT_TRUE(decision.tableChanged);
    }

    // The same device asking by DHCP later holds an ordinary lease again.
    auto dhcp = Responder{plain}.decide(Message(DHCPMessageType::request, client).ciaddr(addr("192.168.0.150")),
                                        contextAt(t0, earlier));
    EXPECT_FALSE(dhcp.table.lease(client)->bootp);
}

}  // namespace
}  // namespace anvil
