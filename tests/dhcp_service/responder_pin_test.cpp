// Pinned devices against the responder: the pinned device always gets its address, nobody else ever does.
#include <gtest/gtest.h>

#include <unordered_map>

#include "tests/dhcp_service/responder_fixtures.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using Type = DHCPMessageType;

constexpr double t0 = 1'700'000'000;
const MACAddress board = hw("02:00:00:00:00:01");
const MACAddress phone = hw("02:00:00:00:00:02");
const MACAddress stranger = hw("02:00:00:00:00:03");
const Bytes phoneID{0xff, 0x00, 0x00, 0x00, 0x07};
// What dhcpcd sends: an IAID and a DUID, nothing like the hardware address.
const Bytes duid{0xff, 0x12, 0x34, 0x56, 0x78, 0x00, 0x01, 0x00, 0x01, 0xaa, 0xbb};

// A two-address range; the board is pinned outside it, the phone (by client identifier) inside it.
ServerConfig pinnedConfig() {
    auto config = benchConfig();
    config.rangeEnd = addr("192.168.0.101");
    config.pins = {Pin{board, std::nullopt, addr("192.168.0.50"), "bench board"},
                   Pin{std::nullopt, phoneID, addr("192.168.0.100"), ""}};
    return config;
}

// "OFFER 192.168.0.50 (pinned)", "NAK (reason)", "probe 192.168.0.50", "dropped reason".
std::string outcome(const Decision& decision) {
    if (auto reply = decision.action.replyValue()) {
        std::string text = replyName(reply->type);
        if (reply->type != Type::nak) text += " " + reply->packet.yiaddr.description();
        return text + " (" + reply->note.value_or("") + ")";
    }
    if (auto probe = decision.action.probeAddress()) return "probe " + probe->description();
    for (const auto& event : decision.notes)
        if (auto dropped = event.as<ServerEvent::Dropped>()) return "dropped " + dropped->reason;
    return "nothing";
}

TEST(ResponderPins, ThePinnedDeviceGetsItsAddressAndNoOtherDoes) {
    auto discover = [](const MACAddress& mac) { return Message(Type::discover, mac); };
    auto reboot = [](const MACAddress& mac, const char* ip) { return Message(Type::request, mac).requested(addr(ip)); };
    auto renew = [](const MACAddress& mac, const char* ip) { return Message(Type::request, mac).ciaddr(addr(ip)); };
    auto select = [](const MACAddress& mac, const char* ip) {
        return Message(Type::request, mac).serverID(addr("192.168.0.1")).requested(addr(ip));
    };
    LeaseTable none;
    LeaseTable boardInPool;
    boardInPool.upsert(boundLease("02:00:00:00:00:01", "192.168.0.101", t0 + 600));
    LeaseTable full;
    full.upsert(boundLease("02:00:00:00:00:10", "192.168.0.100", t0 + 600));
    full.upsert(boundLease("02:00:00:00:00:11", "192.168.0.101", t0 + 600));
    // The address was the stranger's before the board was pinned to it.
    LeaseTable strangerOnPin;
    strangerOnPin.upsert(boundLease("02:00:00:00:00:03", "192.168.0.50", t0 + 600));
    LeaseTable strangerOnPhonePin;
    strangerOnPhonePin.upsert(boundLease("02:00:00:00:00:03", "192.168.0.100", t0 + 600));
    using Probes = std::unordered_map<IPv4Address, bool>;
    const Probes silent{{addr("192.168.0.50"), false}};
    const Probes answered{{addr("192.168.0.50"), true}};

    struct Case {
        const char* name;
        DHCPPacket packet;
        LeaseTable table;
        Probes probes;
        std::string expected;
    };
    std::vector<Case> cases{
        {"discover, outside the range", discover(board), none, {}, "OFFER 192.168.0.50 (pinned: bench board)"},
        {"discover asking for another",
         discover(board).requested(addr("192.168.0.101")),
         none,
         {},
         "OFFER 192.168.0.50 (pinned: bench board)"},
        {"discover with a DUID",
         discover(board).option(OptionCode::clientID, duid),
         none,
         {},
         "OFFER 192.168.0.50 (pinned: bench board)"},
        {"discover, lease elsewhere", discover(board), boardInPool, {}, "OFFER 192.168.0.50 (pinned: bench board)"},
        {"discover, full pool", discover(board), full, {}, "OFFER 192.168.0.50 (pinned: bench board)"},
        {"init-reboot", reboot(board, "192.168.0.50"), none, {}, "ACK 192.168.0.50 (lease 24 h, pinned: bench board)"},
        {"init-reboot of another",
         reboot(board, "192.168.0.101"),
         boardInPool,
         {},
         "NAK (this device is pinned to another address)"},
        {"selecting", select(board, "192.168.0.50"), none, {}, "ACK 192.168.0.50 (lease 24 h, pinned: bench board)"},
        {"renew", renew(board, "192.168.0.50"), none, {}, "ACK 192.168.0.50 (lease 24 h, pinned: bench board)"},
        {"renew of another",
         renew(board, "192.168.0.101"),
         boardInPool,
         {},
         "NAK (this device is pinned to another address)"},
        {"bootp", discover(board).withoutOption(OptionCode::messageType), full, {}, "BOOTP 192.168.0.50 (lease 24 h)"},
        // By client identifier: option 61 alone decides.
        {"discover by client id",
         discover(phone).option(OptionCode::clientID, phoneID),
         none,
         {},
         "OFFER 192.168.0.100 (pinned)"},
        {"same card, no client id", discover(phone), none, {}, "OFFER 192.168.0.101 ()"},
        // Nobody else gets a pinned address, however it asks.
        {"other asks in discover",
         discover(stranger).requested(addr("192.168.0.100")),
         none,
         {},
         "OFFER 192.168.0.101 ()"},
        {"other, only a pin free", discover(stranger), boardInPool, {}, "probe 192.168.0.101"},
        {"other init-reboot", reboot(stranger, "192.168.0.50"), none, {}, "NAK (address is pinned to another device)"},
        {"other selecting", select(stranger, "192.168.0.100"), none, {}, "NAK (address is pinned to another device)"},
        {"other renews its old lease",
         renew(stranger, "192.168.0.100"),
         strangerOnPhonePin,
         {},
         "NAK (address is pinned to another device)"},
        {"other, lease on a pin, discovers", discover(stranger), strangerOnPhonePin, {}, "OFFER 192.168.0.101 ()"},
        // The pin was someone else's address: probed first, like any reclaim.
        {"held: probe first", discover(board), strangerOnPin, {}, "probe 192.168.0.50"},
        {"held: probe silent", discover(board), strangerOnPin, silent, "OFFER 192.168.0.50 (pinned: bench board)"},
        {"held: still there", discover(board), strangerOnPin, answered, "OFFER 192.168.0.101 ()"},
        {"held: still there, select the stand-in",
         select(board, "192.168.0.101"),
         boardInPool,
         {},
         "ACK 192.168.0.101 (lease 24 h)"},
        {"held: init-reboot probes", reboot(board, "192.168.0.50"), strangerOnPin, {}, "probe 192.168.0.50"},
        {"held: init-reboot, still there", reboot(board, "192.168.0.50"), strangerOnPin, answered,
         "NAK (address in use by another device)"},
    };
    Responder responder{pinnedConfig()};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto context = contextAt(t0, c.table);
        context.probes = c.probes;
        EXPECT_EQ(outcome(responder.decide(c.packet, context)), c.expected);
    }
}

TEST(ResponderPins, TakingAPinnedAddressEndsTheFormerLeaseAndSaysWhose) {
    LeaseTable table;
    table.upsert(boundLease("02:00:00:00:00:03", "192.168.0.50", t0 + 600));
    auto context = contextAt(t0, table);
    context.probes = {{addr("192.168.0.50"), false}};
    auto decision = Responder{pinnedConfig()}.decide(Message(Type::discover, board), context);
    EXPECT_EQ(decision.table.lease(stranger)->state, Lease::State::reclaimed);
    EXPECT_EQ(decision.table.holder(addr("192.168.0.50"), Date{t0})->mac, board);
    auto info = ServerEvent::info("pinned address 192.168.0.50 taken from 02:00:00:00:00:03 for 02:00:00:00:00:01");
    EXPECT_NE(std::ranges::find(decision.notes, info), decision.notes.end());
}

}  // namespace
}  // namespace anvil
