#include "core/events/event_log.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

using namespace anvil;

namespace {

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }
MACAddress mac(const char* text) { return *MACAddress::parse(text); }

const MACAddress device = mac("02:aa:bb:cc:dd:01");
// 2025-01-02T03:04:05.042Z
constexpr double moment = 1735787045.042;

ServerConfig benchConfig() {
    return ServerConfig{ip("192.168.0.1"), 24, ip("192.168.0.100"), ip("192.168.0.200"), 86400, std::nullopt, {}, std::nullopt};
}

PacketSummary bareRequest() {
    PacketSummary summary;
    summary.type = DHCPMessageType::request;
    summary.mac = device;
    summary.xid = 0x1A2B;
    return summary;
}

PacketSummary fullDiscover() {
    PacketSummary summary;
    summary.type = DHCPMessageType::discover;
    summary.mac = device;
    summary.xid = 0xDEADBEEF;
    summary.hostname = "cam-01";
    summary.vendorClass = "udhcp 1.36";
    summary.clientID = "01:02:aa:bb:cc:dd:01";
    summary.requestedIP = ip("192.168.0.150");
    summary.serverID = ip("192.168.0.1");
    summary.ciaddr = ip("192.168.0.150");
    summary.interface = "en7";
    return summary;
}

Lease boundLease(std::optional<std::string> hostname) {
    return Lease{device,       ip("192.168.0.100"), Lease::State::bound, Date{moment + 3600}, std::move(hostname),
                 std::nullopt, std::nullopt,        Date{moment},        Date{moment}};
}

Lease bootpLease() {
    auto lease = boundLease(std::nullopt);
    lease.bootp = true;
    return lease;
}

const SentSummary bootReply{std::nullopt, ip("192.168.0.100"), device, ReplyDestination::broadcast(),
                             "en7",        "lease 24 h",        {}};

TEST(EventLog, EveryEventHasItsLabelAndText) {
    struct Case {
        ServerEvent event;
        std::string label;
        std::string text;
    };
    const Case cases[] = {
        {ServerEvent::started("en7", benchConfig()), "START",
         "en7 server 192.168.0.1/24 range 192.168.0.100-192.168.0.200 lease 24 h"},
        {ServerEvent::received(bareRequest()), "RX REQUEST", "02:aa:bb:cc:dd:01 host=- vendor=- req=- xid=0x00001a2b"},
        {ServerEvent::received(fullDiscover()), "RX DISCOVER",
         "02:aa:bb:cc:dd:01 host=cam-01 vendor=udhcp 1.36 req=192.168.0.150 sid=192.168.0.1 ciaddr=192.168.0.150 "
         "cid=01:02:aa:bb:cc:dd:01 xid=0xdeadbeef if=en7"},
        {ServerEvent::received(PacketSummary{}), "RX ?", "- host=- vendor=- req=- xid=0x00000000"},
        {ServerEvent::sent(
             {DHCPMessageType::ack, ip("192.168.0.100"), device, ReplyDestination::broadcast(), "en7", std::nullopt, {}}),
         "TX ACK", "192.168.0.100 -> 255.255.255.255:68 via en7"},
        {ServerEvent::sent({DHCPMessageType::nak, ip("192.168.0.100"), device,
                            ReplyDestination::unicast(ip("192.168.0.100")), "en7", "outside the range", {}}),
         "TX NAK", "192.168.0.100 -> 192.168.0.100:68 via en7 (outside the range)"},
        {ServerEvent::sent(bootReply), "TX BOOTP", "192.168.0.100 -> 255.255.255.255:68 via en7 (lease 24 h)"},
        {ServerEvent::dropped("address pool exhausted", device), "DROP", "address pool exhausted 02:aa:bb:cc:dd:01"},
        {ServerEvent::dropped("malformed (too short)", std::nullopt), "DROP", "malformed (too short)"},
        {ServerEvent::leaseChanged(boundLease(std::nullopt)), "LEASE", "bound 192.168.0.100 02:aa:bb:cc:dd:01"},
        {ServerEvent::leaseChanged(boundLease("cam-01")), "LEASE", "bound 192.168.0.100 02:aa:bb:cc:dd:01 host=cam-01"},
        {ServerEvent::leaseChanged(bootpLease()), "LEASE", "bound (BOOTP) 192.168.0.100 02:aa:bb:cc:dd:01"},
        {ServerEvent::leaseRemoved(device), "LEASE", "removed 02:aa:bb:cc:dd:01"},
        {ServerEvent::presence(ip("192.168.0.100"), device, PresenceState::unknown, "not probed"), "UNKNOWN",
         "192.168.0.100 02:aa:bb:cc:dd:01 not probed"},
        {ServerEvent::presence(ip("192.168.0.100"), device, PresenceState::online, "echo reply"), "ONLINE",
         "192.168.0.100 02:aa:bb:cc:dd:01 echo reply"},
        {ServerEvent::presence(ip("192.168.0.100"), device, PresenceState::offline, "link down"), "OFFLINE",
         "192.168.0.100 02:aa:bb:cc:dd:01 link down"},
        {ServerEvent::presence(ip("192.168.0.100"), device, PresenceState::conflict, "echo reply"), "CONFLICT",
         "192.168.0.100 02:aa:bb:cc:dd:01 echo reply"},
        {ServerEvent::link(true, std::nullopt), "LINK", "up"},
        {ServerEvent::link(true, "1000baseT"), "LINK", "up 1000baseT"},
        {ServerEvent::link(false, "1000baseT"), "LINK", "down"},
        {ServerEvent::noticeRaised(Notice::adapterUnplugged()), "NOTICE",
         "The adapter was unplugged. Waiting for it to come back\u2026"},
        {ServerEvent::info("en8 is back"), "INFO", "en8 is back"},
        {ServerEvent::stopped(), "STOP", "server stopped"},
    };
    for (const auto& sample : cases) {
        SCOPED_TRACE(sample.label + " " + sample.text);
        auto pieces = EventLog::labelAndText(sample.event);
        ASSERT_TRUE(pieces);
        EXPECT_EQ(pieces->label, sample.label);
        EXPECT_EQ(pieces->text, sample.text);
        EXPECT_EQ(EventLog::line(sample.event, Date{moment}, TimeZone::utc()),
                  EventLog::line(sample.label, sample.text, Date{moment}, TimeZone::utc()));
    }
}

TEST(EventLog, LinesHaveTimeStampPaddedLabelAndText) {
    EXPECT_EQ(EventLog::line(ServerEvent::info("hello"), Date{moment}, TimeZone::utc()),
              "03:04:05.042  INFO         hello");
    EXPECT_EQ(EventLog::line(ServerEvent::received(bareRequest()), Date{moment}, TimeZone::fixed(2 * 3600)),
              "05:04:05.042  RX REQUEST   02:aa:bb:cc:dd:01 host=- vendor=- req=- xid=0x00001a2b");
    EXPECT_EQ(EventLog::line("RX DISCOVER", "x", Date{moment}, TimeZone::utc()), "03:04:05.042  RX DISCOVER  x");
    EXPECT_EQ(EventLog::line("ABCDEFGHIJKL", "x", Date{moment}, TimeZone::utc()), "03:04:05.042  ABCDEFGHIJKL x");
    EXPECT_EQ(EventLog::line("ABCDEFGHIJKLM", "x", Date{moment}, TimeZone::utc()), "03:04:05.042  ABCDEFGHIJKLM x");
    // West of UTC the clock time is the previous day's; milliseconds are rounded down.
    EXPECT_EQ(EventLog::timeStamp(Date{1735787045.9999}, TimeZone::fixed(-5 * 3600)), "22:04:05.999");
    EXPECT_EQ(EventLog::timeStamp(Date{0.5}, TimeZone::utc()), "00:00:00.500");
    EXPECT_EQ(EventLog::timeStamp(Date{-0.25}, TimeZone::utc()), "23:59:59.750");
}

TEST(EventLog, ClearedNoticeHasNoLineAndNoJSON) {
    for (auto kind : allNoticeKinds) {
        auto event = ServerEvent::noticeCleared(kind);
        EXPECT_FALSE(EventLog::line(event, Date{moment}, TimeZone::utc()));
        EXPECT_FALSE(EventLog::json(event, Date{moment}));
        EXPECT_FALSE(EventLog::labelAndText(event));
    }
}

TEST(EventLog, JSONIsCompactWithSortedKeys) {
    struct Case {
        ServerEvent event;
        std::string json;
    };
    const Case cases[] = {
        {ServerEvent::received(fullDiscover()),
         R"({"event":"received","hostname":"cam-01","label":"RX DISCOVER","mac":"02:aa:bb:cc:dd:01","options":[],)"
         R"("requestedIP":"192.168.0.150","serverID":"192.168.0.1","text":"02:aa:bb:cc:dd:01 host=cam-01 )"
         R"(vendor=udhcp 1.36 req=192.168.0.150 sid=192.168.0.1 ciaddr=192.168.0.150 cid=01:02:aa:bb:cc:dd:01 )"
         R"(xid=0xdeadbeef if=en7","time":"2025-01-02T03:04:05Z","type":"DISCOVER","vendorClass":"udhcp 1.36",)"
         R"("xid":"0xdeadbeef"})"},
        {ServerEvent::received(PacketSummary{}),
         R"({"event":"received","label":"RX ?","options":[],"text":"- host=- vendor=- req=- xid=0x00000000",)"
         R"("time":"2025-01-02T03:04:05Z","xid":"0x00000000"})"},
        {ServerEvent::sent(
             {DHCPMessageType::offer, ip("192.168.0.100"), device, ReplyDestination::broadcast(), "en7", "reclaimed", {}}),
         R"({"destination":"255.255.255.255:68","event":"sent","interface":"en7","ip":"192.168.0.100",)"
         R"("label":"TX OFFER","mac":"02:aa:bb:cc:dd:01","note":"reclaimed",)"
         R"j("text":"192.168.0.100 -> 255.255.255.255:68 via en7 (reclaimed)","time":"2025-01-02T03:04:05Z",)j"
         R"("type":"OFFER"})"},
        {ServerEvent::leaseChanged(boundLease("cam-01")),
         R"({"event":"leaseChanged","ip":"192.168.0.100","label":"LEASE","mac":"02:aa:bb:cc:dd:01","state":"bound",)"
         R"("text":"bound 192.168.0.100 02:aa:bb:cc:dd:01 host=cam-01","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::sent(bootReply),
         R"({"destination":"255.255.255.255:68","event":"sent","interface":"en7","ip":"192.168.0.100",)"
         R"("label":"TX BOOTP","mac":"02:aa:bb:cc:dd:01","note":"lease 24 h",)"
         R"j("text":"192.168.0.100 -> 255.255.255.255:68 via en7 (lease 24 h)","time":"2025-01-02T03:04:05Z",)j"
         R"("type":"BOOTP"})"},
        {ServerEvent::leaseChanged(bootpLease()),
         R"({"bootp":true,"event":"leaseChanged","ip":"192.168.0.100","label":"LEASE","mac":"02:aa:bb:cc:dd:01",)"
         R"("state":"bound","text":"bound (BOOTP) 192.168.0.100 02:aa:bb:cc:dd:01","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::leaseRemoved(device),
         R"({"event":"leaseRemoved","label":"LEASE","text":"removed 02:aa:bb:cc:dd:01","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::presence(ip("192.168.0.100"), device, PresenceState::conflict, "echo reply"),
         R"({"event":"presence","ip":"192.168.0.100","label":"CONFLICT","mac":"02:aa:bb:cc:dd:01",)"
         R"("state":"conflict","text":"192.168.0.100 02:aa:bb:cc:dd:01 echo reply","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::noticeRaised(Notice::linkDown("en7")),
         R"({"event":"notice","label":"NOTICE","text":"Link down. No device is connected to en7. Serving resumes )"
         R"(on its own when the link returns.","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::started("en7", benchConfig()),
         R"({"event":"started","label":"START","text":"en7 server 192.168.0.1/24 range )"
         R"(192.168.0.100-192.168.0.200 lease 24 h","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::dropped("x", device),
         R"({"event":"dropped","label":"DROP","text":"x 02:aa:bb:cc:dd:01","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::link(false, std::nullopt),
         R"({"event":"link","label":"LINK","text":"down","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::info("a \"quoted\" line"),
         R"({"event":"info","label":"INFO","text":"a \"quoted\" line","time":"2025-01-02T03:04:05Z"})"},
        {ServerEvent::stopped(),
         R"({"event":"stopped","label":"STOP","text":"server stopped","time":"2025-01-02T03:04:05Z"})"},
    };
    for (const auto& sample : cases) {
        SCOPED_TRACE(sample.json);
        // The time keeps whole seconds only, rounded down.
        EXPECT_EQ(EventLog::json(sample.event, Date{moment + 0.9}), sample.json);
    }
}

TEST(EventLog, JSONOfReceivedListsEveryOptionTheRequestedNamesAndTheMaker) {
    auto request = bareRequest();
    request.options = {{53, {3}}, {55, {1, 3, 42}}, {61, {1, 2, 0xaa, 0xbb, 0xcc, 0xdd, 1}}};
    MakerLookup maker = [](const MACAddress&) { return std::optional<std::string>("Bench Maker"); };
    EXPECT_EQ(
        EventLog::json(ServerEvent::received(request), Date{moment}, maker),
        R"({"event":"received","label":"RX REQUEST","mac":"02:aa:bb:cc:dd:01","maker":"Bench Maker","options":[)"
        R"({"code":53,"name":"DHCP Message Type","value":"REQUEST"},)"
        R"({"code":55,"name":"Parameter Request List","value":"Subnet Mask, Router, NTP Servers"},)"
        R"({"code":61,"name":"Client Identifier","value":"Ethernet 02:aa:bb:cc:dd:01"}],)"
        R"("requested":["Subnet Mask","Router","NTP Servers"],"text":"02:aa:bb:cc:dd:01 host=- vendor=- req=- )"
        R"(xid=0x00001a2b","time":"2025-01-02T03:04:05Z","type":"REQUEST","xid":"0x00001a2b"})");
    auto changed = EventLog::json(ServerEvent::leaseChanged(boundLease(std::nullopt)), Date{moment}, maker);
    EXPECT_NE(changed->find(R"("maker":"Bench Maker")"), std::string::npos);
    // The text line stays as it was.
    EXPECT_EQ(EventLog::labelAndText(ServerEvent::received(request))->text,
              "02:aa:bb:cc:dd:01 host=- vendor=- req=- xid=0x00001a2b");
}

TEST(EventLog, TransferLinesNameFileClientAndAmountsAndEscapeTheClientsText) {
    const auto pc = ip("192.168.0.100");
    const std::uint64_t mebibyte = 1024 * 1024;
    struct Case {
        ServerEvent event;
        std::string text;
    };
    const Case cases[] = {
        {ServerEvent::tftpRequested(1, pc, 2070, device, "ipxe.efi", "blksize=1468 tsize=0"),
         "192.168.0.100 asks for ipxe.efi (blksize=1468 tsize=0)"},
        {ServerEvent::tftpRequested(1, pc, 2070, std::nullopt, "pxelinux.0", ""), "192.168.0.100 asks for pxelinux.0"},
        {ServerEvent::tftpProgress(1, pc, device, "ipxe.efi", mebibyte, 4 * mebibyte),
         "ipxe.efi to 192.168.0.100: 1.0 MiB of 4.0 MiB"},
        // No tsize asked and none known: the amount alone.
        {ServerEvent::tftpProgress(1, pc, device, "ipxe.efi", 512, std::nullopt), "ipxe.efi to 192.168.0.100: 512 B"},
        {ServerEvent::tftpProgress(1, pc, device, "a", 1023, 1024), "a to 192.168.0.100: 1023 B of 1.0 KiB"},
        // Just below a unit's end rounds up into the next unit, never to "1024.0 KiB".
        {ServerEvent::tftpProgress(1, pc, device, "a", mebibyte - 1, 5ull << 30),
         "a to 192.168.0.100: 1.0 MiB of 5.0 GiB"},
        {ServerEvent::tftpProgress(1, pc, device, "a", 0, UINT64_MAX), "a to 192.168.0.100: 0 B of 16.0 EiB"},
        {ServerEvent::tftpFinished(1, pc, device, "ipxe.efi", 4 * mebibyte, 1.2),
         "ipxe.efi to 192.168.0.100: 4.0 MiB in 1.2 s (3.3 MiB/s)"},
        // Faster than the clock can tell, or a clock gone wrong: no rate, never a division by zero.
        {ServerEvent::tftpFinished(1, pc, device, "a", 100, 0), "a to 192.168.0.100: 100 B in 0.0 s"},
        {ServerEvent::tftpFinished(1, pc, device, "a", 100, -1), "a to 192.168.0.100: 100 B in -1.0 s"},
        {ServerEvent::tftpFinished(1, pc, device, "a", UINT64_MAX, 1e-300),
         "a to 192.168.0.100: 16.0 EiB in 0.0 s (888.2 PiB/s)"},
        {ServerEvent::tftpFailed(1, pc, device, "ipxe.efi", TFTPFailureReason::notInFolder, ""),
         "ipxe.efi to 192.168.0.100 failed: not in the boot folder"},
        {ServerEvent::tftpFailed(1, pc, device, "../etc/shadow", TFTPFailureReason::refusedPath, "leaves the folder"),
         "../etc/shadow to 192.168.0.100 failed: refused path (leaves the folder)"},
        {ServerEvent::tftpFailed(1, pc, device, "a", TFTPFailureReason::clientError, "Disk full"),
         "a to 192.168.0.100 failed: the client gave up (Disk full)"},
        {ServerEvent::tftpFailed(1, pc, device, "a", TFTPFailureReason::timedOut, ""),
         "a to 192.168.0.100 failed: timed out"},
        {ServerEvent::tftpFailed(1, pc, device, "a", TFTPFailureReason::busy, ""),
         "a to 192.168.0.100 failed: too many transfers"},
        {ServerEvent::tftpFailed(1, pc, device, "a", TFTPFailureReason::unreadable, "Permission denied"),
         "a to 192.168.0.100 failed: cannot be read (Permission denied)"},
        // Whatever the client wrote reaches the terminal as visible escapes, never as controls.
        {ServerEvent::tftpRequested(1, pc, 2070, device, "\x1b]0;owned\x07<b>x</b>", "blksize=\r\n9"),
         "192.168.0.100 asks for \\x1b]0;owned\\x07<b>x</b> (blksize=\\x0d\\x0a9)"},
        {ServerEvent::tftpFailed(1, pc, device, "bad\xff", TFTPFailureReason::clientError, "\x1b[2J"),
         "bad\\xff to 192.168.0.100 failed: the client gave up (\\x1b[2J)"},
    };
    for (const auto& sample : cases) {
        auto pieces = EventLog::labelAndText(sample.event);
        ASSERT_TRUE(pieces) << sample.text;
        EXPECT_EQ(pieces->label, "TFTP");
        EXPECT_EQ(pieces->text, sample.text);
    }
    EXPECT_EQ(EventLog::line(ServerEvent::tftpProgress(1, pc, device, "a", 0, 0), Date{moment}, TimeZone::utc()),
              "03:04:05.042  TFTP         a to 192.168.0.100: 0 B of 0 B");
}

TEST(EventLog, TransferJSONCarriesNumbersAsNumbersAndAlwaysSerializes) {
    const auto pc = ip("192.168.0.100");
    MakerLookup maker = [](const MACAddress&) { return std::optional<std::string>("Bench Maker"); };
    struct Case {
        ServerEvent event;
        std::string json;
    };
    const Case cases[] = {
        {ServerEvent::tftpRequested(7, pc, 2070, device, "ipxe.efi", "tsize=0"),
         R"({"clientPort":2070,"event":"tftpRequested","file":"ipxe.efi","ip":"192.168.0.100","label":"TFTP",)"
         R"j("mac":"02:aa:bb:cc:dd:01","maker":"Bench Maker","text":"192.168.0.100 asks for ipxe.efi (tsize=0)",)j"
         R"("tftpOptions":"tsize=0","time":"2025-01-02T03:04:05Z","transfer":7})"},
        {ServerEvent::tftpProgress(4294967295u, pc, std::nullopt, "a", 1024, 2048),
         R"({"bytes":1024,"event":"tftpProgress","file":"a","ip":"192.168.0.100","label":"TFTP","size":2048,)"
         R"("text":"a to 192.168.0.100: 1.0 KiB of 2.0 KiB","time":"2025-01-02T03:04:05Z","transfer":4294967295})"},
        {ServerEvent::tftpProgress(1, pc, std::nullopt, "a", UINT64_MAX, std::nullopt),
         R"({"bytes":18446744073709551615,"event":"tftpProgress","file":"a","ip":"192.168.0.100","label":"TFTP",)"
         R"("text":"a to 192.168.0.100: 16.0 EiB","time":"2025-01-02T03:04:05Z","transfer":1})"},
        {ServerEvent::tftpFinished(2, pc, std::nullopt, "a", 10, 0.5),
         R"({"bytes":10,"event":"tftpFinished","file":"a","ip":"192.168.0.100","label":"TFTP","seconds":0.5,)"
         R"j("text":"a to 192.168.0.100: 10 B in 0.5 s (20 B/s)","time":"2025-01-02T03:04:05Z","transfer":2})j"},
        // JSON has no NaN: the line is still written.
        {ServerEvent::tftpFinished(2, pc, std::nullopt, "a", 10, std::nan("")),
         R"({"bytes":10,"event":"tftpFinished","file":"a","ip":"192.168.0.100","label":"TFTP","seconds":0.0,)"
         R"("text":"a to 192.168.0.100: 10 B in nan s","time":"2025-01-02T03:04:05Z","transfer":2})"},
        {ServerEvent::tftpFailed(3, pc, std::nullopt, "x\xff\x01", TFTPFailureReason::busy, "16 running"),
         R"({"detail":"16 running","event":"tftpFailed","file":"x\\xff\\x01","ip":"192.168.0.100","label":"TFTP",)"
         R"j("reason":"busy","text":"x\\xff\\x01 to 192.168.0.100 failed: too many transfers (16 running)",)j"
         R"("time":"2025-01-02T03:04:05Z","transfer":3})"},
    };
    for (const auto& sample : cases) {
        SCOPED_TRACE(sample.json);
        EXPECT_EQ(EventLog::json(sample.event, Date{moment}, maker), sample.json);
    }
}

TEST(TFTPFailureReason, RawValuesRoundTripAndEachHasASentence) {
    std::set<std::string_view> sentences;
    for (auto reason : allTFTPFailureReasons) {
        EXPECT_EQ(tftpFailureReasonFromRaw(rawValue(reason)), reason);
        EXPECT_TRUE(sentences.insert(description(reason)).second) << rawValue(reason);
    }
    for (const char* text : {"", "busy ", "Busy", "notinfolder"}) EXPECT_EQ(tftpFailureReasonFromRaw(text), std::nullopt);
}

TEST(EventLog, TextThatCannotBeSerializedGivesNoJSON) {
    EXPECT_FALSE(EventLog::json(ServerEvent::info(std::string("bad \xff byte")), Date{moment}));
}

}  // namespace
