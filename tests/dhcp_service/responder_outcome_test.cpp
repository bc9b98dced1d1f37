// One group per outcome a client message can have.
#include <gtest/gtest.h>

#include <set>

#include "tests/dhcp_service/responder_fixtures.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using Type = DHCPMessageType;
using State = Lease::State;

const MACAddress client = hw("02:00:00:00:00:01");
const MACAddress other = hw("02:00:00:00:00:02");
constexpr double t0 = 1'700'000'000;

const Reply& replyOf(const Decision& decision) {
    static const Reply none{};
    auto reply = decision.action.replyValue();
    EXPECT_NE(reply, nullptr);
    return reply ? *reply : none;
}

// A table where every address of a two-address range is held by a bound lease of someone else.
struct FullPool {
    Responder responder;
    LeaseTable table;

    FullPool() : responder{benchConfig()} {
        responder.config.rangeStart = addr("192.168.0.100");
        responder.config.rangeEnd = addr("192.168.0.101");
        table.upsert(boundLease("02:00:00:00:00:10", "192.168.0.100", t0 + 3600, t0 - 50));
        table.upsert(boundLease("02:00:00:00:00:11", "192.168.0.101", t0 + 3600, t0 - 100));
    }
};

TEST(ResponderScreenedOut, EachCheckDropsWithItsReasonAndChangesNothing) {
    struct Case {
        const char* name;
        DHCPPacket packet;
        std::string reason;
        bool knowsMAC;
    };
    auto discover = Message(Type::discover, client);
    std::vector<Case> cases{
        {"reply op", Message(discover).header(2, 1, 6), "not a client request (op 2)", false},
        {"token ring", Message(discover).header(1, 6, 6), "not Ethernet (htype 6, hlen 6)", false},
        {"long hardware address", Message(discover).header(1, 1, 16), "not Ethernet (htype 1, hlen 16)", false},
        {"relayed", Message(discover).giaddr(addr("10.0.0.1")), "relayed request (not served)", true},
        {"two-byte type", Message(discover).option(OptionCode::messageType, {1, 1}), "BOOTP request (not served)",
         true},
        {"unknown type", Message(discover).option(OptionCode::messageType, {9}), "BOOTP request (not served)", true},
        {"offer", Message(Type::offer, client), "OFFER is a server message", true},
        {"ack", Message(Type::ack, client), "ACK is a server message", true},
        {"nak", Message(Type::nak, client), "NAK is a server message", true},
    };
    // Order matters: a reply op with a bad header still reports the op.
    cases.push_back({"op before htype", Message(discover).header(2, 6, 6), "not a client request (op 2)", false});
    cases.push_back({"relay before type", Message(Type::ack, client).giaddr(addr("10.0.0.1")),
                     "relayed request (not served)", true});

    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:01", "192.168.0.100", t0 + 600));
    Responder responder{benchConfig()};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto decision = responder.decide(c.packet, contextAt(t0, table));
        EXPECT_TRUE(decision.action.isNone());
        EXPECT_FALSE(decision.tableChanged);
        EXPECT_EQ(decision.table, table);
        std::optional<MACAddress> mac;
        if (c.knowsMAC) mac = client;
        EXPECT_EQ(decision.notes, std::vector{ServerEvent::dropped(c.reason, mac)});
    }
}

TEST(ResponderDiscoverPoolExhausted, DropsWhenNothingIsUsableOrReclaimable) {
    FullPool pool;
    // Both holders answer presence as online: never probed, never reclaimed.
    auto context = contextAt(t0, pool.table);
    context.presence = {{addr("192.168.0.100"), PresenceState::online},
                        {addr("192.168.0.101"), PresenceState::conflict}};
    auto decision = pool.responder.decide(Message(Type::discover, client), context);
    EXPECT_TRUE(decision.action.isNone());
    EXPECT_EQ(decision.notes, std::vector{ServerEvent::dropped("address pool exhausted", client)});
    EXPECT_FALSE(decision.tableChanged);

    // A range whose only addresses are the server's own and a quarantined one.
    Responder tiny{benchConfig()};
    tiny.config.rangeStart = addr("192.168.0.1");
    tiny.config.rangeEnd = addr("192.168.0.2");
    LeaseTable quarantined;
    quarantined.addQuarantine(addr("192.168.0.2"), Date{t0 + 1}, other);
    decision = tiny.decide(Message(Type::discover, client), contextAt(t0, quarantined));
    EXPECT_EQ(decision.notes, std::vector{ServerEvent::dropped("address pool exhausted", client)});
}

TEST(ResponderDiscoverReclaimNotProbed, AsksForAProbeOfTheOldestOfflineHolder) {
    FullPool pool;
    auto context = contextAt(t0, pool.table);
    context.presence = {{addr("192.168.0.100"), PresenceState::offline},
                        {addr("192.168.0.101"), PresenceState::unknown}};
    auto decision = pool.responder.decide(Message(Type::discover, client), context);
    // .101 was seen longer ago.
    EXPECT_EQ(decision.action, DecisionAction::probe(addr("192.168.0.101")));
    EXPECT_TRUE(decision.notes.empty());
    EXPECT_FALSE(decision.tableChanged);
    EXPECT_EQ(decision.table, pool.table);
}

TEST(ResponderDiscoverOwnBoundLease, OffersItAgainWithoutEventsOrSaving) {
    Responder responder{benchConfig()};
    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:01", "192.168.0.150", t0 + 3600, t0 - 500));
    auto decision = responder.decide(Message(Type::discover, client), contextAt(t0, table));
    const auto& reply = replyOf(decision);
    EXPECT_EQ(reply.type, Type::offer);
    EXPECT_EQ(reply.packet.yiaddr, addr("192.168.0.150"));
    EXPECT_TRUE(decision.notes.empty());
    EXPECT_FALSE(decision.tableChanged);
    auto lease = decision.table.lease(client);
    ASSERT_TRUE(lease);
    EXPECT_EQ(lease->state, State::bound);
    EXPECT_EQ(lease->expiresAt, Date{t0 + 3600});
    EXPECT_EQ(lease->lastSeen, Date{t0});
}

TEST(ResponderDiscoverNewOffer, OffersTheFirstAddressIn300BytesWithOptionsInWireOrder) {
    Responder responder{benchConfig()};
    auto request = Message(Type::discover, client).flags(0x8000);
    auto decision = responder.decide(request, contextAt(t0));
    const auto& reply = replyOf(decision);
    EXPECT_EQ(reply.type, Type::offer);
    EXPECT_EQ(reply.ip, addr("192.168.0.100"));
    EXPECT_EQ(reply.mac, client);
    EXPECT_EQ(reply.destination, ReplyDestination::broadcast());
    EXPECT_EQ(reply.destination.description(), "255.255.255.255:68");
    EXPECT_EQ(reply.note, std::nullopt);

    auto wire = reply.packet.serialize(DHCPPacket::minimumReplyLength);
    EXPECT_EQ(wire.size(), 300u);
    auto parsed = DHCPPacket::parse(wire);
    EXPECT_EQ(optionCodes(parsed), (std::vector<std::uint8_t>{53, 54, 51, 58, 59, 1, 28}));
    // The end option follows the last option directly.
    std::size_t endOffset = 240;
    for (const auto& field : parsed.options) endOffset += 2 + field.data.size();
    EXPECT_EQ(wire[endOffset], 255);
    EXPECT_EQ(parsed.op, 2);
    EXPECT_EQ(parsed.xid, request.packet().xid);
    EXPECT_EQ(parsed.flags, 0x8000);
    EXPECT_EQ(parsed.yiaddr, addr("192.168.0.100"));
    EXPECT_EQ(parsed.ciaddr, IPv4Address::zero);
    EXPECT_EQ(parsed.chaddr, request.packet().chaddr);
    EXPECT_EQ(parsed.option(53), (Bytes{2}));
    EXPECT_EQ(parsed.option(54), (Bytes{192, 168, 0, 1}));
    EXPECT_EQ(parsed.option(51), (Bytes{0, 1, 0x51, 0x80}));
    EXPECT_EQ(parsed.option(58), (Bytes{0, 0, 0xa8, 0xc0}));
    EXPECT_EQ(parsed.option(59), (Bytes{0, 1, 0x27, 0x50}));
    EXPECT_EQ(parsed.option(1), (Bytes{255, 255, 255, 0}));
    EXPECT_EQ(parsed.option(28), (Bytes{192, 168, 0, 255}));

    ASSERT_EQ(decision.notes.size(), 1u);
    auto changed = decision.notes[0].as<ServerEvent::LeaseChanged>();
    ASSERT_NE(changed, nullptr);
    EXPECT_EQ(changed->lease.state, State::offered);
    EXPECT_EQ(changed->lease.expiresAt, Date{t0 + 60});
    EXPECT_EQ(changed->lease.firstSeen, Date{t0});
    EXPECT_EQ(decision.table.lease(client), changed->lease);
    EXPECT_FALSE(decision.tableChanged);
}

TEST(ResponderDiscoverNewOffer, CarriesRouterAndDNSAndHonoursAFreeRequestedAddress) {
    Responder responder{benchConfig()};
    responder.config.router = addr("192.168.0.1");
    responder.config.dns = {addr("1.1.1.1"), addr("9.9.9.9")};
    auto request = Message(Type::discover, client).requested(addr("192.168.0.170")).hostname("cam-1");
    auto decision = responder.decide(request, contextAt(t0));
    const auto& reply = replyOf(decision);
    EXPECT_EQ(reply.ip, addr("192.168.0.170"));
    EXPECT_EQ(optionCodes(reply.packet), (std::vector<std::uint8_t>{53, 54, 51, 58, 59, 1, 28, 3, 6}));
    EXPECT_EQ(reply.packet.option(6), (Bytes{1, 1, 1, 1, 9, 9, 9, 9}));
    EXPECT_EQ(decision.table.lease(client)->hostname, "cam-1");

    // A requested address outside the range, or the server's own, is not honoured.
    for (auto asked : {addr("192.168.0.1"), addr("192.168.0.250"), addr("10.0.0.5")}) {
        auto plain = responder.decide(Message(Type::discover, client).requested(asked), contextAt(t0));
        EXPECT_EQ(replyOf(plain).ip, addr("192.168.0.100")) << asked.description();
    }
}

TEST(ResponderDiscoverByReclaim, TakesTheAddressOfASilentOfflineHolder) {
    FullPool pool;
    auto context = contextAt(t0, pool.table);
    context.probes = {{addr("192.168.0.101"), false}};
    auto decision = pool.responder.decide(Message(Type::discover, client), context);
    const auto& reply = replyOf(decision);
    EXPECT_EQ(reply.type, Type::offer);
    EXPECT_EQ(reply.ip, addr("192.168.0.101"));
    EXPECT_TRUE(decision.tableChanged);
    ASSERT_EQ(decision.notes.size(), 3u);
    auto former = decision.notes[0].as<ServerEvent::LeaseChanged>();
    ASSERT_NE(former, nullptr);
    EXPECT_EQ(former->lease.mac, hw("02:00:00:00:00:11"));
    EXPECT_EQ(former->lease.state, State::reclaimed);
    EXPECT_EQ(decision.notes[1], ServerEvent::info("range full: reclaimed 192.168.0.101 from 02:00:00:00:00:11 "
                                                   "(offline, lease not expired)"));
    auto offered = decision.notes[2].as<ServerEvent::LeaseChanged>();
    ASSERT_NE(offered, nullptr);
    EXPECT_EQ(offered->lease.mac, client);
    EXPECT_EQ(offered->lease.state, State::offered);
    EXPECT_EQ(decision.table.holder(addr("192.168.0.101"), Date{t0})->mac, client);
}

TEST(ResponderRequestAcknowledged, EveryFormThatIsGrantedBindsForTheLeaseTime) {
    Responder responder{benchConfig()};
    auto serverIP = responder.config.serverIP;
    LeaseTable offered;
    offered.upsert(
        Lease{client, addr("192.168.0.100"), State::offered, Date{t0 + 30}, {}, {}, {}, Date{t0 - 30}, Date{t0 - 30}});
    LeaseTable bound;
    bound.upsert(boundLease("02:00:00:00:00:01", "192.168.0.120", t0 + 100));
    LeaseTable expiredOffer;
    expiredOffer.upsert(
        Lease{client, addr("192.168.0.100"), State::offered, Date{t0 - 1}, {}, {}, {}, Date{t0 - 61}, Date{t0 - 61}});

    struct Case {
        const char* name;
        DHCPPacket packet;
        LeaseTable table;
        IPv4Address granted;
        ReplyDestination destination;
    };
    std::vector<Case> cases{
        {"selecting with option 50", Message(Type::request, client).serverID(serverIP).requested(addr("192.168.0.100")),
         offered, addr("192.168.0.100"), ReplyDestination::broadcast()},
        {"selecting with ciaddr only",
         Message(Type::request, client).serverID(serverIP).ciaddr(addr("192.168.0.130")),
         {},
         addr("192.168.0.130"),
         ReplyDestination::unicast(addr("192.168.0.130"))},
        {"selecting after the offer expired",
         Message(Type::request, client).serverID(serverIP).requested(addr("192.168.0.100")), expiredOffer,
         addr("192.168.0.100"), ReplyDestination::broadcast()},
        {"rebooting",
         Message(Type::request, client).requested(addr("192.168.0.140")),
         {},
         addr("192.168.0.140"),
         ReplyDestination::broadcast()},
        {"rebooting to its own bound address", Message(Type::request, client).requested(addr("192.168.0.120")), bound,
         addr("192.168.0.120"), ReplyDestination::broadcast()},
        {"renewing its own lease", Message(Type::request, client).ciaddr(addr("192.168.0.120")), bound,
         addr("192.168.0.120"), ReplyDestination::unicast(addr("192.168.0.120"))},
        {"rebinding a free address",
         Message(Type::request, client).ciaddr(addr("192.168.0.199")),
         {},
         addr("192.168.0.199"),
         ReplyDestination::unicast(addr("192.168.0.199"))},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto decision = responder.decide(c.packet, contextAt(t0, c.table));
        const auto& reply = replyOf(decision);
        EXPECT_EQ(reply.type, Type::ack);
        EXPECT_EQ(reply.ip, c.granted);
        EXPECT_EQ(reply.packet.yiaddr, c.granted);
        EXPECT_EQ(reply.packet.ciaddr, c.packet.ciaddr);
        EXPECT_EQ(reply.destination, c.destination);
        EXPECT_EQ(reply.note, "lease 24 h");
        EXPECT_TRUE(decision.tableChanged);
        ASSERT_EQ(decision.notes.size(), 1u);
        auto changed = decision.notes[0].as<ServerEvent::LeaseChanged>();
        ASSERT_NE(changed, nullptr);
        EXPECT_EQ(changed->lease.state, State::bound);
        EXPECT_EQ(changed->lease.ip, c.granted);
        EXPECT_EQ(changed->lease.expiresAt, Date{t0 + 86400});
        EXPECT_EQ(decision.table.lease(client), changed->lease);
    }
}

TEST(ResponderRequestRefused, EachNakReasonIsBroadcastInOption56AndChangesNothing) {
    Responder responder{benchConfig()};
    auto serverIP = responder.config.serverIP;
    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:02", "192.168.0.150", t0 + 3600));
    table.addQuarantine(addr("192.168.0.160"), Date{t0 + 10}, other);

    struct Case {
        DHCPPacket packet;
        std::string reason;
        IPv4Address about;
    };
    std::vector<Case> cases{
        {Message(Type::request, client).serverID(serverIP), "no requested address", IPv4Address::zero},
        {Message(Type::request, client).serverID(serverIP).requested(addr("192.168.0.150")),
         "requested address is not available", addr("192.168.0.150")},
        {Message(Type::request, client).serverID(serverIP).requested(addr("192.168.0.160")),
         "requested address is not available", addr("192.168.0.160")},
        {Message(Type::request, client).serverID(serverIP).requested(addr("192.168.0.1")),
         "requested address is not available", addr("192.168.0.1")},
        {Message(Type::request, client), "no requested address", IPv4Address::zero},
        {Message(Type::request, client).option(OptionCode::requestedIP, {192, 168, 0}), "no requested address",
         IPv4Address::zero},
        {Message(Type::request, client).requested(addr("10.1.2.3")), "requested address is not on this network",
         addr("10.1.2.3")},
        {Message(Type::request, client).requested(addr("192.168.0.50")), "requested address is outside the range",
         addr("192.168.0.50")},
        {Message(Type::request, client).requested(addr("192.168.0.1")), "requested address is outside the range",
         addr("192.168.0.1")},
        {Message(Type::request, client).requested(addr("192.168.0.160")), "requested address was declined recently",
         addr("192.168.0.160")},
        {Message(Type::request, client).requested(addr("192.168.0.150")), "address in use by another device",
         addr("192.168.0.150")},
        {Message(Type::request, client).ciaddr(addr("192.168.0.150")), "address is not available for renewal",
         addr("192.168.0.150")},
        {Message(Type::request, client).ciaddr(addr("192.168.0.160")), "address is not available for renewal",
         addr("192.168.0.160")},
        {Message(Type::request, client).ciaddr(addr("10.0.0.9")), "address is not available for renewal",
         addr("10.0.0.9")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason + " / " + c.about.description());
        auto decision = responder.decide(c.packet, contextAt(t0, table));
        const auto& reply = replyOf(decision);
        EXPECT_EQ(reply.type, Type::nak);
        EXPECT_EQ(reply.destination, ReplyDestination::broadcast());
        EXPECT_EQ(reply.ip, c.about);
        EXPECT_EQ(reply.mac, client);
        EXPECT_EQ(reply.note, c.reason);
        EXPECT_EQ(optionCodes(reply.packet), (std::vector<std::uint8_t>{53, 54, 56}));
        EXPECT_EQ(reply.packet.option(56), Bytes(c.reason.begin(), c.reason.end()));
        EXPECT_EQ(reply.packet.yiaddr, IPv4Address::zero);
        EXPECT_EQ(reply.packet.ciaddr, IPv4Address::zero);
        EXPECT_TRUE(decision.notes.empty());
        EXPECT_FALSE(decision.tableChanged);
        EXPECT_EQ(decision.table, table);
    }
}

TEST(ResponderRequestForAnotherServer, ReleasesAPendingOfferAndRaisesTheNotice) {
    Responder responder{benchConfig()};
    auto otherServer = addr("192.168.0.254");
    const std::string noticeText =
        "Another DHCP server is on this cable (192.168.0.254). The device chose it instead of DHCP Anvil.";
    LeaseTable offered;
    offered.upsert(
        Lease{client, addr("192.168.0.100"), State::offered, Date{t0 + 30}, {}, {}, {}, Date{t0 - 30}, Date{t0 - 30}});
    auto decision = responder.decide(
        Message(Type::request, client).serverID(otherServer).requested(addr("192.168.0.7")), contextAt(t0, offered));
    EXPECT_TRUE(decision.action.isNone());
    EXPECT_FALSE(decision.tableChanged);
    auto released = decision.table.lease(client);
    ASSERT_TRUE(released);
    EXPECT_EQ(released->state, State::released);
    EXPECT_EQ(released->expiresAt, Date{t0});
    EXPECT_EQ(decision.notes, (std::vector{ServerEvent::leaseChanged(*released),
                                           ServerEvent::info("client 02:00:00:00:00:01 chose another server "
                                                             "(192.168.0.254)"),
                                           ServerEvent::noticeRaised(Notice(NoticeKind::otherServer, noticeText, {}))}));

    // A bound lease is not an offer: it stays, and only the info and the notice go out.
    LeaseTable bound;
    bound.upsert(boundLease("02:00:00:00:00:01", "192.168.0.120", t0 + 100));
    decision = responder.decide(Message(Type::request, client).serverID(otherServer), contextAt(t0, bound));
    EXPECT_EQ(decision.table, bound);
    ASSERT_EQ(decision.notes.size(), 2u);
    EXPECT_TRUE(decision.notes[0].is<ServerEvent::Info>());
    EXPECT_EQ(decision.notes[1].as<ServerEvent::NoticeRaised>()->notice.message, noticeText);
}

TEST(ResponderDecline, QuarantinesTheAddressAndRemovesTheDeclinersLease) {
    Responder responder{benchConfig()};
    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:01", "192.168.0.100", t0 + 3600));
    table.upsert(boundLease("02:00:00:00:00:02", "192.168.0.101", t0 + 3600));

    auto decision =
        responder.decide(Message(Type::decline, client).requested(addr("192.168.0.100")), contextAt(t0, table));
    EXPECT_TRUE(decision.action.isNone());
    EXPECT_TRUE(decision.tableChanged);
    EXPECT_EQ(decision.notes, (std::vector{ServerEvent::leaseRemoved(client),
                                           ServerEvent::info("conflict: 02:00:00:00:00:01 reports 192.168.0.100 is "
                                                             "already in use; quarantined for 10 m")}));
    EXPECT_FALSE(decision.table.lease(client));
    EXPECT_EQ(decision.table.quarantine(), (std::vector{Quarantine{addr("192.168.0.100"), Date{t0 + 600}, client}}));

    decision = responder.decide(Message(Type::decline, client), contextAt(t0, table));
    EXPECT_EQ(decision.notes, std::vector{ServerEvent::dropped("DECLINE without a requested address", client)});
    EXPECT_FALSE(decision.tableChanged);
    EXPECT_EQ(decision.table, table);
}

// A DECLINE is believed only from the device that holds the address or was offered it, for an
// address of the range, sent to this server; anything else would let one device take another's
// address or drain the pool.
TEST(ResponderDecline, IsActedOnOnlyWhenTheDeclinerHoldsTheAddress) {
    Responder responder{benchConfig()};
    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:01", "192.168.0.100", t0 + 3600));
    auto offer = boundLease("02:00:00:00:00:03", "192.168.0.102", t0 + 60);
    offer.state = State::offered;
    table.upsert(offer);
    table.upsert(boundLease("02:00:00:00:00:02", "192.168.0.101", t0 + 3600));
    auto expiredOffer = boundLease("02:00:00:00:00:04", "192.168.0.103", t0);
    expiredOffer.state = State::offered;
    table.upsert(expiredOffer);
    auto released = boundLease("02:00:00:00:00:05", "192.168.0.104", t0);
    released.state = State::released;
    table.upsert(released);

    const std::string notHeld = "DECLINE for an address this device does not hold";
    struct Case {
        const char* what;
        DHCPPacket packet;
        std::optional<std::string> dropped;  // nothing: believed
    };
    std::vector<Case> cases{
        {"holder", Message(Type::decline, client).requested(addr("192.168.0.100")), std::nullopt},
        {"holder naming this server",
         Message(Type::decline, client).requested(addr("192.168.0.100")).serverID(addr("192.168.0.1")), std::nullopt},
        {"offered", Message(Type::decline, hw("02:00:00:00:00:03")).requested(addr("192.168.0.102")), std::nullopt},
        {"another device's address", Message(Type::decline, client).requested(addr("192.168.0.101")), notHeld},
        {"free address never held", Message(Type::decline, client).requested(addr("192.168.0.150")), notHeld},
        {"own offer that ran out", Message(Type::decline, hw("02:00:00:00:00:04")).requested(addr("192.168.0.103")),
         notHeld},
        {"own released lease", Message(Type::decline, hw("02:00:00:00:00:05")).requested(addr("192.168.0.104")),
         notHeld},
        {"the server's own address", Message(Type::decline, client).requested(addr("192.168.0.1")),
         "DECLINE outside the range"},
        {"outside the range", Message(Type::decline, client).requested(addr("10.9.9.9")), "DECLINE outside the range"},
        {"another server's identifier",
         Message(Type::decline, client).requested(addr("192.168.0.100")).serverID(addr("192.168.0.254")),
         "DECLINE for another server"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto decision = responder.decide(c.packet, contextAt(t0, table));
        auto declined = *c.packet.requestedIP();
        EXPECT_TRUE(decision.action.isNone());
        if (c.dropped) {
            EXPECT_EQ(decision.notes, std::vector{ServerEvent::dropped(*c.dropped, *c.packet.mac())});
            EXPECT_FALSE(decision.tableChanged);
            EXPECT_EQ(decision.table, table);
            continue;
        }
        EXPECT_TRUE(decision.tableChanged);
        EXPECT_FALSE(decision.table.lease(*c.packet.mac()));
        EXPECT_EQ(decision.table.quarantine(), (std::vector{Quarantine{declined, Date{t0 + 600}, *c.packet.mac()}}));
        EXPECT_EQ(decision.table.leases().size(), table.leases().size() - 1);
    }
}

// However many devices decline, the quarantine holds one entry per address of the range at most.
TEST(ResponderDecline, QuarantineStaysWithinTheRangeOneEntryPerAddress) {
    Responder responder{benchConfig()};
    responder.config.rangeStart = addr("192.168.0.100");
    responder.config.rangeEnd = addr("192.168.0.103");
    LeaseTable table;
    double now = t0;
    for (int round = 0; round < 50; ++round) {
        auto device = MACAddress{{2, 0, 0, 0, static_cast<std::uint8_t>(round >> 8), static_cast<std::uint8_t>(round)}};
        auto offered = responder.decide(Message(Type::discover, device), contextAt(now, table));
        table = offered.table;
        // The device declines what it was offered, then a made-up address and one out of range.
        if (auto reply = offered.action.replyValue())
            table = responder.decide(Message(Type::decline, device).requested(reply->ip), contextAt(now, table)).table;
        table = responder.decide(Message(Type::decline, device).requested(addr("192.168.0.102")), contextAt(now, table))
                    .table;
        auto outside = IPv4Address{addr("10.0.0.0").value + static_cast<std::uint32_t>(round)};
        table = responder.decide(Message(Type::decline, device).requested(outside), contextAt(now, table)).table;
        now += 30;
    }
    EXPECT_LE(table.quarantine().size(), 4u);
    std::set<IPv4Address> addresses;
    for (const auto& entry : table.quarantine()) {
        EXPECT_TRUE(responder.config.inRange(entry.ip)) << entry.ip.description();
        EXPECT_TRUE(addresses.insert(entry.ip).second) << entry.ip.description();
    }
}

// Devices that come and go (bind, release, never return) leave their leases for the history, but
// only so many: a new device then takes the place of the one heard from longest ago.
TEST(ResponderDiscoverNewOffer, ANewDeviceTakesThePlaceOfTheOldestLeaseThatHoldsNoAddress) {
    Responder responder{benchConfig()};
    std::vector<Lease> gone;
    for (std::size_t index = 0; index < LeaseTable::inactiveLimit; ++index) {
        auto lease = boundLease("02:00:00:00:00:00", "192.168.0.150", t0 - 10, t0 - 5000 + static_cast<double>(index));
        lease.state = index % 2 ? State::released : State::bound;
        lease.mac.bytes[3] = 0x77;
        lease.mac.bytes[4] = static_cast<std::uint8_t>(index >> 8);
        lease.mac.bytes[5] = static_cast<std::uint8_t>(index);
        gone.push_back(lease);
    }
    // Heard from longest ago of all, but in force: never pushed out.
    auto holding = boundLease("02:00:00:00:00:09", "192.168.0.100", t0 + 3600, t0 - 9000);
    gone.push_back(holding);
    LeaseTable table(gone, {});
    auto decision = responder.decide(Message(Type::discover, client), contextAt(t0, table));
    ASSERT_EQ(decision.notes.size(), 2u);
    EXPECT_EQ(decision.notes[0], ServerEvent::leaseRemoved(gone.front().mac));
    EXPECT_TRUE(decision.notes[1].is<ServerEvent::LeaseChanged>());
    EXPECT_EQ(decision.table.leases().size(), LeaseTable::inactiveLimit + 1);
    EXPECT_TRUE(decision.table.lease(holding.mac));
    EXPECT_TRUE(decision.table.lease(client));

    // A device the table already knows takes no one's place.
    auto known = responder.decide(Message(Type::discover, gone[1].mac), contextAt(t0, table));
    EXPECT_EQ(known.table.leases().size(), LeaseTable::inactiveLimit + 1);
    EXPECT_EQ(known.notes.size(), 1u);
}

TEST(ResponderReleaseOfOwnLease, EndsTheLeaseAtOnceButKeepsTheAddressRecorded) {
    Responder responder{benchConfig()};
    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:01", "192.168.0.120", t0 + 3600));
    auto decision = responder.decide(
        Message(Type::release, client).serverID(responder.config.serverIP).ciaddr(addr("192.168.0.120")),
        contextAt(t0, table));
    EXPECT_TRUE(decision.action.isNone());
    EXPECT_TRUE(decision.tableChanged);
    auto lease = decision.table.lease(client);
    ASSERT_TRUE(lease);
    EXPECT_EQ(lease->state, State::released);
    EXPECT_EQ(lease->ip, addr("192.168.0.120"));
    EXPECT_EQ(lease->expiresAt, Date{t0});
    EXPECT_EQ(lease->lastSeen, Date{t0});
    EXPECT_EQ(decision.notes, std::vector{ServerEvent::leaseChanged(*lease)});

    // Coming back, the client is offered the same address.
    auto again = responder.decide(Message(Type::discover, client), contextAt(t0 + 5, decision.table));
    EXPECT_EQ(replyOf(again).ip, addr("192.168.0.120"));
}

TEST(ResponderReleaseIgnored, LeavesTheLeaseBoundAndSaysWhy) {
    Responder responder{benchConfig()};
    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:01", "192.168.0.120", t0 + 3600));
    struct Case {
        DHCPPacket packet;
        std::string text;
    };
    std::vector<Case> cases{
        {Message(Type::release, client).ciaddr(addr("192.168.0.120")),
         "RELEASE from 02:00:00:00:00:01 for another server ignored"},
        {Message(Type::release, client).serverID(addr("192.168.0.254")).ciaddr(addr("192.168.0.120")),
         "RELEASE from 02:00:00:00:00:01 for another server ignored"},
        {Message(Type::release, client).serverID(addr("192.168.0.1")).ciaddr(addr("192.168.0.121")),
         "RELEASE from 02:00:00:00:00:01 for an unknown lease ignored"},
        {Message(Type::release, other).serverID(addr("192.168.0.1")).ciaddr(addr("192.168.0.120")),
         "RELEASE from 02:00:00:00:00:02 for an unknown lease ignored"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto decision = responder.decide(c.packet, contextAt(t0, table));
        EXPECT_TRUE(decision.action.isNone());
        EXPECT_FALSE(decision.tableChanged);
        EXPECT_EQ(decision.table, table);
        EXPECT_EQ(decision.notes, std::vector{ServerEvent::info(c.text)});
    }
}

TEST(ResponderInform, AnswersAStaticDeviceWithoutLeaseOptionsOrTableChanges) {
    Responder responder{benchConfig()};
    responder.config.dns = {addr("192.168.0.1")};
    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:02", "192.168.0.150", t0 + 3600));
    auto decision = responder.decide(Message(Type::inform, client).ciaddr(addr("192.168.0.50")), contextAt(t0, table));
    const auto& reply = replyOf(decision);
    EXPECT_EQ(reply.type, Type::ack);
    EXPECT_EQ(reply.packet.yiaddr, IPv4Address::zero);
    EXPECT_EQ(reply.packet.ciaddr, addr("192.168.0.50"));
    EXPECT_EQ(reply.ip, addr("192.168.0.50"));
    EXPECT_EQ(reply.destination, ReplyDestination::unicast(addr("192.168.0.50")));
    EXPECT_EQ(reply.destination.description(), "192.168.0.50:68");
    EXPECT_EQ(reply.note, std::nullopt);
    EXPECT_EQ(optionCodes(reply.packet), (std::vector<std::uint8_t>{53, 54, 1, 28, 6}));
    EXPECT_EQ(decision.notes,
              std::vector{ServerEvent::info("static-IP device 192.168.0.50 (02:00:00:00:00:01) asked for options")});
    EXPECT_FALSE(decision.tableChanged);
    EXPECT_EQ(decision.table, table);
}

TEST(ResponderInformOffSubnet, DropsWithTheAddressNamed) {
    Responder responder{benchConfig()};
    for (auto [ciaddr, text] : {std::pair{addr("10.0.0.5"), "INFORM from 10.0.0.5, which is not on this network"},
                                std::pair{IPv4Address::zero, "INFORM from 0.0.0.0, which is not on this network"}}) {
        auto decision = responder.decide(Message(Type::inform, client).ciaddr(ciaddr), contextAt(t0));
        EXPECT_TRUE(decision.action.isNone());
        EXPECT_EQ(decision.notes, std::vector{ServerEvent::dropped(text, client)});
    }
}

TEST(ResponderQuarantine, ExpiredEntriesArePrunedWithoutAskingForASave) {
    Responder responder{benchConfig()};
    LeaseTable table;
    table.addQuarantine(addr("192.168.0.100"), Date{t0}, other);
    table.addQuarantine(addr("192.168.0.101"), Date{t0 + 1}, other);
    auto decision = responder.decide(Message(Type::release, client), contextAt(t0, table));
    EXPECT_FALSE(decision.tableChanged);
    EXPECT_EQ(decision.table.quarantine(), (std::vector{Quarantine{addr("192.168.0.101"), Date{t0 + 1}, other}}));
}

}  // namespace
}  // namespace anvil
