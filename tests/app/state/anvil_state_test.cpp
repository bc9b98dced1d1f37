#include "app/state/anvil_state.hpp"

#include <gtest/gtest.h>

#include <cstdio>

using namespace anvil;

namespace {

MACAddress mac(const char* text) { return *MACAddress::parse(text); }
IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }

Lease lease(const char* hw, const char* address, double lastSeen = 100) {
    Lease result;
    result.mac = mac(hw);
    result.ip = ip(address);
    result.state = Lease::State::bound;
    result.expiresAt = Date{10000};
    result.firstSeen = Date{50};
    result.lastSeen = Date{lastSeen};
    return result;
}

// A type of nothing is a BOOTREPLY.
ServerEvent sent(ReplyKind type, const char* hw, const char* address) {
    SentSummary summary;
    summary.type = type;
    summary.mac = mac(hw);
    summary.ip = ip(address);
    summary.interface = "eth1";
    return ServerEvent::sent(summary);
}

const char* const deviceA = "aa:bb:cc:00:00:01";
const char* const deviceB = "aa:bb:cc:00:00:02";

}  // namespace

TEST(AnvilState, NewStateIsEmpty) {
    AnvilState state;
    EXPECT_TRUE(state.leases.empty() && state.presence.empty() && state.notices.empty());
    EXPECT_FALSE(state.deviceFound || state.lastPacketAt || state.serverInterface);
}

TEST(AnvilState, LoadingKeepsTheLeaseLastSeenLaterAndTheFirstOnATie) {
    struct Case {
        double firstLastSeen, secondLastSeen;
        const char* expectedIP;
    };
    for (Case c : {Case{100, 200, "10.0.0.2"}, Case{300, 200, "10.0.0.1"}, Case{100, 100, "10.0.0.1"}}) {
        AnvilState state;
        state.leases[mac(deviceB)] = lease(deviceB, "10.0.0.9");
        LeaseFile::LoadResult result{
            LeaseTable({lease(deviceA, "10.0.0.1", c.firstLastSeen), lease(deviceA, "10.0.0.2", c.secondLastSeen)}, {}),
            std::nullopt, std::nullopt, 0};
        state.loadLeases(result);
        ASSERT_EQ(state.leases.size(), 1u) << "the old map is replaced";
        EXPECT_EQ(state.leases.at(mac(deviceA)).ip, ip(c.expectedIP));
        EXPECT_TRUE(state.notices.empty());
    }
}

TEST(AnvilState, SetAsideLoadRaisesOneNoticeNamingOnlyTheFile) {
    AnvilState state;
    state.loadLeases({LeaseTable{}, "/home/tech/.local/share/DHCP Anvil/leases.corrupt-1.json", std::nullopt, 0});
    state.loadLeases({LeaseTable{}, "/home/tech/.local/share/DHCP Anvil/leases.corrupt-1.json", std::nullopt, 0});
    ASSERT_EQ(state.notices.size(), 1u);
    EXPECT_EQ(state.notices.at(NoticeKind::leaseFileSetAside).message,
              "The lease file could not be read and was moved to leases.corrupt-1.json. Starting with no leases.");
}

TEST(AnvilState, DeviceFoundOnlyByAnAckMatchingAKnownLease) {
    AnvilState state;
    state.apply(ServerEvent::leaseChanged(lease(deviceA, "10.0.0.1")), Date{1});

    state.apply(sent(DHCPMessageType::offer, deviceA, "10.0.0.1"), Date{2});
    state.apply(sent(DHCPMessageType::nak, deviceA, "10.0.0.1"), Date{2});
    state.apply(sent(DHCPMessageType::ack, deviceB, "10.0.0.1"), Date{2});
    state.apply(sent(DHCPMessageType::ack, deviceA, "10.0.0.7"), Date{2});
    EXPECT_FALSE(state.deviceFound);

    state.apply(sent(DHCPMessageType::ack, deviceA, "10.0.0.1"), Date{3});
    ASSERT_TRUE(state.deviceFound);
    EXPECT_EQ(state.deviceFound->mac, mac(deviceA));
    // A BOOTP client binds at its reply, as a DHCP client at its ACK.
    state.apply(ServerEvent::leaseChanged(lease(deviceB, "10.0.0.9")), Date{3});
    state.apply(sent(std::nullopt, deviceB, "10.0.0.9"), Date{3});
    EXPECT_EQ(state.deviceFound->mac, mac(deviceB));
    state.apply(sent(DHCPMessageType::ack, deviceA, "10.0.0.1"), Date{3});

    // Another device's lease does not move it; the same device's does.
    state.apply(ServerEvent::leaseChanged(lease(deviceB, "10.0.0.2")), Date{4});
    EXPECT_EQ(state.deviceFound->ip, ip("10.0.0.1"));
    Lease renewed = lease(deviceA, "10.0.0.1", 500);
    state.apply(ServerEvent::leaseChanged(renewed), Date{5});
    EXPECT_EQ(state.deviceFound, renewed);

    state.apply(ServerEvent::leaseRemoved(mac(deviceB)), Date{6});
    EXPECT_TRUE(state.deviceFound);
    state.apply(ServerEvent::leaseRemoved(mac(deviceA)), Date{6});
    EXPECT_FALSE(state.deviceFound);
    EXPECT_EQ(state.leases.size(), 0u);
}

TEST(AnvilState, StoppedDropsRunScopedNoticesAndPresenceOnly) {
    AnvilState state;
    state.runStarted("eth1");
    state.apply(ServerEvent::leaseChanged(lease(deviceA, "10.0.0.1")), Date{1});
    state.apply(sent(DHCPMessageType::ack, deviceA, "10.0.0.1"), Date{1});
    state.apply(ServerEvent::received(PacketSummary{}), Date{2});
    state.apply(ServerEvent::presence(ip("10.0.0.1"), mac(deviceA), PresenceState::online, "ping"), Date{3});
    state.apply(ServerEvent::noticeRaised(Notice::linkDown("eth1")), Date{4});
    state.apply(ServerEvent::noticeRaised(Notice::leaseSaveFailed("disk full")), Date{4});
    state.apply(ServerEvent::noticeRaised(Notice::adapterUnplugged()), Date{4});
    state.apply(ServerEvent::noticeCleared(NoticeKind::adapterUnplugged), Date{4});
    EXPECT_EQ(state.notices.size(), 2u);

    state.apply(ServerEvent::stopped(), Date{5});
    EXPECT_EQ(state.notices.count(NoticeKind::linkDown), 0u);
    EXPECT_EQ(state.notices.count(NoticeKind::leaseSaveFailed), 1u);
    EXPECT_TRUE(state.presence.empty());
    EXPECT_EQ(state.leases.size(), 1u);
    EXPECT_TRUE(state.deviceFound);
    EXPECT_EQ(state.lastPacketAt, Date{2});
    EXPECT_FALSE(state.serverInterface);

    state.runStarted("eth2");
    EXPECT_TRUE(state.notices.empty());
    EXPECT_FALSE(state.deviceFound || state.lastPacketAt);
    EXPECT_EQ(state.serverInterface, "eth2");
    EXPECT_EQ(state.leases.size(), 1u);
}

TEST(AnvilState, ReceivedMovesLastPacketAtToEachCallAndQuietEventsChangeNothing) {
    AnvilState state;
    PacketSummary odd;
    odd.type = std::nullopt;
    state.apply(ServerEvent::received(odd), Date{10});
    state.apply(ServerEvent::received(PacketSummary{}), Date{7});
    EXPECT_EQ(state.lastPacketAt, Date{7});

    AnvilState before = state;
    state.apply(ServerEvent::dropped("bad", std::nullopt), Date{20});
    state.apply(ServerEvent::link(false, std::nullopt), Date{20});
    state.apply(ServerEvent::info("hello"), Date{20});
    state.dismiss(NoticeKind::portInUse);
    state.apply(ServerEvent::leaseRemoved(mac(deviceA)), Date{20});
    EXPECT_EQ(state, before);

    state.raise(Notice::portInUse(std::string("dnsmasq:1")));
    state.raise(Notice::portInUse(std::nullopt));
    ASSERT_EQ(state.notices.size(), 1u);
    EXPECT_EQ(state.notices.at(NoticeKind::portInUse), Notice::portInUse(std::nullopt));
}

TEST(AnvilState, RequestedOptionsAreMarkedByWhatTheLastReplyCarried) {
    AnvilState state;
    state.runStarted("eth1");
    PacketSummary request;
    request.mac = mac(deviceA);
    request.options = {{55, {1, 3, 42, 15}}};
    state.apply(ServerEvent::received(request), Date{1});
    // A later message without a request list (a release) keeps what was asked.
    PacketSummary release;
    release.mac = mac(deviceA);
    state.apply(ServerEvent::received(release), Date{2});
    auto ack = sent(DHCPMessageType::ack, deviceA, "10.0.0.1");
    std::get<ServerEvent::Sent>(ack.value).reply.options = {53, 54, 51, 1, 28, 3};
    state.apply(ack, Date{3});
    EXPECT_EQ(state.requestedOptions(mac(deviceA)),
              (std::vector<RequestedOption>{{1, "Subnet Mask", true},
                                            {3, "Router", true},
                                            {42, "NTP Servers", false},
                                            {15, "Domain Name", false}}));
    EXPECT_TRUE(state.requestedOptions(mac(deviceB)).empty());
    state.apply(ServerEvent::leaseRemoved(mac(deviceA)), Date{4});
    EXPECT_TRUE(state.requestedOptions(mac(deviceA)).empty());

    // Made-up addresses without leases are forgotten once there are too many.
    for (unsigned index = 0; index <= AnvilState::exchangeCapacity; ++index) {
        PacketSummary flood;
        flood.mac = MACAddress{{0x02, 0, 0, 0, static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index)}};
        flood.options = {{55, {1}}};
        state.apply(ServerEvent::received(flood), Date{5});
    }
    EXPECT_LE(state.exchanges.size(), AnvilState::exchangeCapacity);

    // Made-up addresses that each got an offer hold leases, and still the exchanges stay bounded;
    // the client heard from most recently keeps its own.
    for (unsigned index = 0; index <= 2 * AnvilState::exchangeCapacity; ++index) {
        auto device =
            MACAddress{{0x06, 0, 0, 0, static_cast<std::uint8_t>(index >> 8), static_cast<std::uint8_t>(index)}};
        Lease offered{device,
                      IPv4Address{0x0a000000u + index},
                      Lease::State::offered,
                      Date{70},
                      std::nullopt,
                      std::nullopt,
                      std::nullopt,
                      Date{10.0 + index},
                      Date{10.0 + index}};
        state.apply(ServerEvent::leaseChanged(offered), Date{10.0 + index});
        PacketSummary flood;
        flood.mac = device;
        flood.options = {{55, {1, 3}}};
        state.apply(ServerEvent::received(flood), Date{10.0 + index});
        auto offer = sent(DHCPMessageType::offer, "06:00:00:00:00:01", "10.0.0.1");
        std::get<ServerEvent::Sent>(offer.value).reply.mac = device;
        state.apply(offer, Date{10.0 + index});
        ASSERT_LE(state.exchanges.size(), AnvilState::exchangeCapacity) << index;
        ASSERT_EQ(state.requestedOptions(device).size(), 2u) << index;
    }
}

TEST(AnvilState, TheLastOfferOrBindingReplyLeavesItsNoteBounded) {
    AnvilState state;
    auto reply = [](ReplyKind type, std::optional<std::string> note) {
        auto event = sent(type, deviceA, "10.0.0.1");
        std::get<ServerEvent::Sent>(event.value).reply.note = std::move(note);
        return event;
    };
    std::string longNote(AnvilState::noteCapacity - 1, 'x');
    longNote += "étc";
    struct Step {
        ReplyKind type;
        std::optional<std::string> note;
        std::optional<std::string> kept;
    } steps[] = {
        {DHCPMessageType::offer, "option 43 for vendor class APC", "option 43 for vendor class APC"},
        {DHCPMessageType::nak, "no", "option 43 for vendor class APC"},
        {DHCPMessageType::ack, "lease 1h", "lease 1h"},
        {std::nullopt, std::nullopt, std::nullopt},
        // Cut before the two-byte character that would straddle the bound.
        {DHCPMessageType::ack, longNote, std::string(AnvilState::noteCapacity - 1, 'x') + "…"},
    };
    for (const auto& step : steps) {
        state.apply(reply(step.type, step.note), Date{1});
        EXPECT_EQ(state.lastReplyNote(mac(deviceA)), step.kept) << replyName(step.type);
    }
    EXPECT_EQ(state.lastReplyNote(mac(deviceB)), std::nullopt);
}

TEST(AnvilState, TransfersRunFromRequestToTheirEndAndLeaveTheLastResultPerDevice) {
    const auto pc = ip("192.168.0.100");
    const auto a = mac(deviceA);
    struct Step {
        const char* what;
        ServerEvent event;
        std::size_t active;
        std::optional<std::uint64_t> bytes;      // of the device's active transfer
        std::optional<int> percent;
        std::optional<TFTPFailureReason> failure;  // of the last result, when one is expected
        bool finishedLast = false;
    };
    const Step steps[] = {
        {"request", ServerEvent::tftpRequested(1, pc, 2070, a, "ipxe.efi", "tsize=0"), 1, 0, std::nullopt, std::nullopt},
        {"progress", ServerEvent::tftpProgress(1, pc, a, "ipxe.efi", 512, 2048), 1, 512, 25, std::nullopt},
        {"a second file", ServerEvent::tftpRequested(2, pc, 2071, a, "boot.ipxe", ""), 2, 0, std::nullopt, std::nullopt},
        {"the first ends", ServerEvent::tftpFinished(1, pc, a, "ipxe.efi", 2048, 1.0), 1, 0, std::nullopt,
         std::nullopt, true},
        {"the second fails", ServerEvent::tftpFailed(2, pc, a, "boot.ipxe", TFTPFailureReason::timedOut, ""), 0,
         std::nullopt, std::nullopt, TFTPFailureReason::timedOut},
        // Its request lost in an overfull hand-over: the progress alone starts it.
        {"progress unannounced", ServerEvent::tftpProgress(3, pc, a, "x", 10, std::nullopt), 1, 10, std::nullopt,
         TFTPFailureReason::timedOut},
        {"the server stops", ServerEvent::stopped(), 0, std::nullopt, std::nullopt, TFTPFailureReason::timedOut},
        // An end never begun, once stopped, is recorded and changes nothing else.
        {"late end", ServerEvent::tftpFinished(3, pc, a, "x", 10, 0.1), 0, std::nullopt, std::nullopt, std::nullopt,
         true},
    };
    AnvilState state;
    double clock = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.what);
        state.apply(step.event, Date{++clock});
        EXPECT_EQ(state.transfers.size(), step.active);
        const auto* active = state.activeTransfer(a, pc);
        EXPECT_EQ(active ? std::optional(active->bytes) : std::nullopt, step.bytes);
        if (active) {
            EXPECT_EQ(active->percent(), step.percent);
        }
        const auto* last = state.lastTransferResult(a, pc);
        if (step.failure || step.finishedLast) {
            ASSERT_NE(last, nullptr);
            EXPECT_EQ(last->failure, step.failure);
        }
        // One result per device, however many transfers it made.
        EXPECT_LE(state.transferResults.size(), 1u);
    }
    // Another device at another address has nothing.
    EXPECT_EQ(state.lastTransferResult(mac(deviceB), ip("192.168.0.101")), nullptr);
}

TEST(AnvilState, TransfersAndResultsStayBoundedUnderAFloodOfClients) {
    AnvilState state;
    constexpr std::uint32_t flood = 5000;
    for (std::uint32_t n = 0; n < flood; ++n) {
        IPv4Address client{0x0A000000u + n};
        state.apply(ServerEvent::tftpRequested(n, client, 2000, std::nullopt, "f", ""), Date{double(n)});
        ASSERT_LE(state.transfers.size(), AnvilState::transferCapacity);
        // Every other one ends; the rest are lost ends and must yield, oldest first.
        if (n % 2) state.apply(ServerEvent::tftpFailed(n, client, std::nullopt, "f", TFTPFailureReason::busy, ""), Date{double(n)});
        ASSERT_LE(state.transferResults.size(), AnvilState::transferResultCapacity);
    }
    EXPECT_TRUE(state.transfers.contains(flood - 2)) << "the newest survives";
    EXPECT_FALSE(state.transfers.contains(0)) << "the oldest yielded";
    EXPECT_EQ(state.transferResults.back().client, IPv4Address{0x0A000000u + flood - 1});
    // Devices without a hardware address are told apart by address.
    EXPECT_EQ(state.lastTransferResult(MACAddress{}, IPv4Address{0x0A000000u + 1}), nullptr);
    EXPECT_NE(state.lastTransferResult(MACAddress{}, IPv4Address{0x0A000000u + flood - 1}), nullptr);
}

TEST(ActiveTransfer, PercentIsBoundedAndSafeAtTheEdges) {
    struct Row {
        std::uint64_t bytes;
        std::optional<std::uint64_t> size;
        std::optional<int> percent;
    };
    const Row rows[] = {
        {0, std::nullopt, std::nullopt}, {0, 0, 100},          {0, 100, 0},          {45, 100, 45},
        {99, 100, 99},                    {150, 100, 100},      {UINT64_MAX / 2, UINT64_MAX, 50},
        {UINT64_MAX, UINT64_MAX, 100},
    };
    for (const auto& row : rows) {
        ActiveTransfer transfer;
        transfer.bytes = row.bytes;
        transfer.size = row.size;
        EXPECT_EQ(transfer.percent(), row.percent) << row.bytes;
    }
}

namespace {

Neighbour neighbourAt(const std::string& hw, double lastSeen, bool holdsLease = false) {
    Neighbour device;
    device.mac = mac(hw.c_str());
    device.claims = {ip("192.168.1.1")};
    device.firstSeen = Date{lastSeen};
    device.lastSeen = Date{lastSeen};
    device.holdsLease = holdsLease;
    return device;
}

std::vector<std::string> macsOf(const std::vector<Neighbour>& devices) {
    std::vector<std::string> texts;
    for (const auto& device : devices) texts.push_back(device.mac.description());
    return texts;
}

}  // namespace

TEST(AnvilState, NeighbourEventsKeepDevicesWithoutLeaseNewestFirst) {
    const std::string c = "aa:bb:cc:00:00:03";
    struct Case {
        const char* name;
        std::vector<std::pair<NeighbourChange, Neighbour>> events;
        std::vector<std::string> shown;
    };
    Neighbour renamed = neighbourAt(deviceA, 5);
    renamed.maker = "Maker";
    std::vector<Case> cases = {
        {"seen devices, newest first", {{NeighbourChange::seen, neighbourAt(deviceA, 1)}, {NeighbourChange::seen, neighbourAt(c, 2)}},
         {c, deviceA}},
        {"changed moves it up",
         {{NeighbourChange::seen, neighbourAt(deviceA, 1)}, {NeighbourChange::seen, neighbourAt(c, 2)}, {NeighbourChange::changed, renamed}},
         {deviceA, c}},
        {"gone removes", {{NeighbourChange::seen, neighbourAt(deviceA, 1)}, {NeighbourChange::gone, neighbourAt(deviceA, 3)}}, {}},
        {"gone of an unknown device is harmless", {{NeighbourChange::gone, neighbourAt(c, 3)}}, {}},
        {"one that says it holds a lease is hidden", {{NeighbourChange::seen, neighbourAt(c, 1, true)}}, {}},
        {"one with a lease in the table is hidden", {{NeighbourChange::seen, neighbourAt(deviceB, 1)}}, {}},
    };
    for (const auto& test : cases) {
        SCOPED_TRACE(test.name);
        AnvilState state;
        state.apply(ServerEvent::leaseChanged(lease(deviceB, "10.0.0.2")), Date{0});
        for (const auto& [change, device] : test.events) state.apply(ServerEvent::neighbour(change, device), device.lastSeen);
        EXPECT_EQ(macsOf(state.neighboursWithoutLease()), test.shown);
    }
}

TEST(AnvilState, NeighboursAreBoundedAndEndWithTheRunWithTheirNotices) {
    AnvilState state;
    for (std::size_t index = 0; index < AnvilState::neighbourCapacity + 10; ++index) {
        char hw[18];
        std::snprintf(hw, sizeof hw, "02:00:00:00:%02zx:%02zx", index / 256, index % 256);
        state.apply(ServerEvent::neighbour(NeighbourChange::seen, neighbourAt(hw, static_cast<double>(index))), Date{1});
    }
    EXPECT_EQ(state.neighbours.size(), AnvilState::neighbourCapacity);
    // The oldest went first.
    EXPECT_EQ(state.neighbour(mac("02:00:00:00:00:00")), nullptr);
    EXPECT_NE(state.neighbour(mac("02:00:00:00:01:09")), nullptr);

    NeighbourAdvice advice{NeighbourAdvice::Kind::reachIt, ip("192.168.1.1"), {ip("192.168.1.254"), 24}};
    state.apply(ServerEvent::noticeRaised(Notice::neighbourAdvice(advice, neighbourAt(deviceA, 1))), Date{2});
    state.apply(ServerEvent::noticeRaised(Notice::leaseSaveFailed("disk full")), Date{2});
    state.apply(ServerEvent::stopped(), Date{3});
    EXPECT_TRUE(state.neighbours.empty());
    EXPECT_FALSE(state.notices.contains(NoticeKind::deviceNotAsking));
    EXPECT_FALSE(state.notices.contains(NoticeKind::recoveryLoader));
    EXPECT_TRUE(state.notices.contains(NoticeKind::leaseSaveFailed));
}
