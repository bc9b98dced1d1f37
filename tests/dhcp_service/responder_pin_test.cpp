// Pinned devices: the pinned device always gets its address, nobody else ever does.
#include <gtest/gtest.h>

#include "tests/dhcp_service/responder_fixtures.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using Type = DHCPMessageType;

const MACAddress board = hw("02:00:00:00:00:01"), phone = hw("02:00:00:00:00:02"), other = hw("02:00:00:00:00:03");
const Bytes phoneID{0xff, 0, 0, 0, 7};

// The outcome, then any info lines: "OFFER 192.168.0.50 (pinned: board)", "NAK (why)", "probe 192.168.0.50".
std::string outcome(const Decision& decision) {
    std::string text = "nothing";
    if (auto reply = decision.action.replyValue())
        text = replyName(reply->type) + (reply->type == Type::nak ? "" : " " + reply->packet.yiaddr.description()) +
               " (" + reply->note.value_or("") + ")";
    if (auto probe = decision.action.probeAddress()) text = "probe " + probe->description();
    for (const auto& event : decision.notes)
        if (auto info = event.as<ServerEvent::Info>()) text += "; " + info->text;
    return text;
}

TEST(ResponderPins, ThePinnedDeviceGetsItsAddressAndNoOtherDoes) {
    // Two addresses in the range; the board is pinned outside it, the phone by client identifier inside it.
    Responder responder{benchConfig()};
    responder.config.rangeEnd = addr("192.168.0.101");
    responder.config.pins = {Pin{board, std::nullopt, addr("192.168.0.50"), "board"},
                             Pin{std::nullopt, phoneID, addr("192.168.0.100"), ""}};
    auto request = [](const MACAddress& mac) { return Message(Type::request, mac); };
    auto table = [](const char* mac, const char* ip) {
        LeaseTable leases;
        leases.upsert(boundLease(mac, ip, 600));
        return leases;
    };
    LeaseTable full = table("02:00:00:00:00:10", "192.168.0.100");
    full.upsert(boundLease("02:00:00:00:00:11", "192.168.0.101", 600));
    auto boardInPool = table("02:00:00:00:00:01", "192.168.0.101");
    auto otherOnPin = table("02:00:00:00:00:03", "192.168.0.50");
    const std::unordered_map<IPv4Address, bool> silent{{addr("192.168.0.50"), false}},
        answered{{addr("192.168.0.50"), true}};
    const char* offered = "OFFER 192.168.0.50 (pinned: board)";
    const char* acked = "ACK 192.168.0.50 (lease 24 h, pinned: board)";
    struct Case {
        const char* name;
        DHCPPacket packet;
        LeaseTable table;
        std::unordered_map<IPv4Address, bool> probes;
        std::string expected;
    };
    std::vector<Case> cases{
        {"discover with a DUID",
         Message(Type::discover, board).option(OptionCode::clientID, {0xff, 1, 0, 1}),
         {},
         {},
         offered},
        {"discover, full pool", Message(Type::discover, board), full, {}, offered},
        {"init-reboot", request(board).requested(addr("192.168.0.50")), {}, {}, acked},
        {"renew", request(board).ciaddr(addr("192.168.0.50")), {}, {}, acked},
        {"init-reboot of another",
         request(board).requested(addr("192.168.0.101")),
         boardInPool,
         {},
         "NAK (this device is pinned to another address)"},
        {"renew of another",
         request(board).ciaddr(addr("192.168.0.101")),
         boardInPool,
         {},
         "NAK (this device is pinned to another address)"},
        {"bootp",
         Message(Type::discover, board).withoutOption(OptionCode::messageType),
         full,
         {},
         "BOOTP 192.168.0.50 (lease 24 h, pinned: board)"},
        {"by client id",
         Message(Type::discover, phone).option(OptionCode::clientID, phoneID),
         {},
         {},
         "OFFER 192.168.0.100 (pinned)"},
        {"same card, no client id", Message(Type::discover, phone), {}, {}, "OFFER 192.168.0.101 ()"},
        {"other asks for a pin",
         Message(Type::discover, other).requested(addr("192.168.0.100")),
         {},
         {},
         "OFFER 192.168.0.101 ()"},
        {"other init-reboot",
         request(other).requested(addr("192.168.0.50")),
         {},
         {},
         "NAK (address is pinned to another device)"},
        {"other renews",
         request(other).ciaddr(addr("192.168.0.50")),
         otherOnPin,
         {},
         "NAK (address is pinned to another device)"},
        {"other selecting",
         request(other).serverID(addr("192.168.0.1")).requested(addr("192.168.0.100")),
         {},
         {},
         "NAK (address is pinned to another device)"},
        {"other, moved off", Message(Type::discover, other), otherOnPin, {}, "OFFER 192.168.0.101 ()"},
        // Held by the device that had it before the pin: probed first, like any reclaim.
        {"held", Message(Type::discover, board), otherOnPin, {}, "probe 192.168.0.50"},
        {"held, gone", Message(Type::discover, board), otherOnPin, silent,
         std::string(offered) + "; pinned address 192.168.0.50 taken from 02:00:00:00:00:03 for 02:00:00:00:00:01 (board)"},
        {"held, still there", Message(Type::discover, board), otherOnPin, answered, "OFFER 192.168.0.101 ()"},
        {"held, select the stand-in",
         request(board).serverID(addr("192.168.0.1")).requested(addr("192.168.0.101")),
         boardInPool,
         {},
         "ACK 192.168.0.101 (lease 24 h)"},
        {"held, init-reboot, still there", request(board).requested(addr("192.168.0.50")), otherOnPin, answered,
         "NAK (address in use by another device)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto context = contextAt(0, c.table);
        context.probes = c.probes;
        EXPECT_EQ(outcome(responder.decide(c.packet, context)), c.expected);
    }
}

}  // namespace
}  // namespace anvil
