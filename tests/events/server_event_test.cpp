#include "core/events/server_event.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "core/addressing/decoding_error.hpp"
#include "core/events/notice_kind_json.hpp"
#include "core/dhcp/option_code.hpp"

namespace anvil {
namespace {

IPv4Address addr(const char* text) { return *IPv4Address::parse(text); }

TEST(NoticeKind, RawValuesCriticalityAndOrder) {
    struct Row {
        NoticeKind kind;
        const char* raw;
        bool critical;
    };
    const Row rows[] = {
        {NoticeKind::localNetworkDenied, "localNetworkDenied", true},
        {NoticeKind::otherServer, "otherServer", true},
        {NoticeKind::portInUse, "portInUse", true},
        {NoticeKind::leaseSaveFailed, "leaseSaveFailed", true},
        {NoticeKind::linkDown, "linkDown", false},
        {NoticeKind::adapterUnplugged, "adapterUnplugged", false},
        {NoticeKind::leaseFileSetAside, "leaseFileSetAside", false},
        {NoticeKind::bootFileMissing, "bootFileMissing", false},
        {NoticeKind::deviceNotAsking, "deviceNotAsking", false},
        {NoticeKind::recoveryLoader, "recoveryLoader", false},
    };
    ASSERT_EQ(std::size(rows), allNoticeKinds.size());
    for (std::size_t i = 0; i < allNoticeKinds.size(); ++i) {
        EXPECT_EQ(allNoticeKinds[i], rows[i].kind);
        EXPECT_EQ(rawValue(rows[i].kind), rows[i].raw);
        EXPECT_EQ(isCritical(rows[i].kind), rows[i].critical);
        EXPECT_EQ(noticeKindFromRaw(rows[i].raw), rows[i].kind);
    }
    for (const char* text : {"linkdown", "LinkDown", "", " linkDown", "linkDown "})
        EXPECT_EQ(noticeKindFromRaw(text), std::nullopt) << text;
}

TEST(NoticeKind, CodesAsItsRawValueInJSON) {
    for (auto kind : allNoticeKinds) {
        nlohmann::json json = kind;
        EXPECT_EQ(json, std::string(rawValue(kind)));
        EXPECT_EQ(json.get<NoticeKind>(), kind);
    }
    for (auto bad : {nlohmann::json("linkdown"), nlohmann::json(4), nlohmann::json(nullptr)})
        EXPECT_THROW(bad.get<NoticeKind>(), DecodingError) << bad.dump();
}

TEST(Notice, MessagesAreTheExactSentences) {
    struct Row {
        Notice notice;
        NoticeKind kind;
        std::string message;
    };
    const Row rows[] = {
        {Notice::localNetworkDenied(Platform::macOS), NoticeKind::localNetworkDenied,
         "Local Network access is off for DHCP Anvil. macOS is blocking DHCP broadcasts, so no device can get an "
         "address."},
        {Notice::otherServer(addr("192.168.0.254")), NoticeKind::otherServer,
         "Another DHCP server is on this cable (192.168.0.254). The device chose it instead of DHCP Anvil."},
        {Notice::portInUse("dnsmasq", Platform::macOS), NoticeKind::portInUse,
         "Port 67 is in use by dnsmasq. Turn off Internet Sharing or stop the VM's shared network."},
        {Notice::portInUse(std::nullopt, Platform::macOS), NoticeKind::portInUse,
         "Port 67 is in use by another program. Turn off Internet Sharing or stop the VM's shared network."},
        {Notice::leaseSaveFailed("The disk is full."), NoticeKind::leaseSaveFailed,
         "Leases could not be saved: The disk is full."},
        {Notice::leaseReadFailedAtStart("Permission denied"), NoticeKind::leaseSaveFailed,
         "DHCP Anvil can't read leases.json (Permission denied). Leases are kept in memory only and the file is left "
         "untouched."},
        {Notice::leaseReadFailedAtLaunch("bad JSON"), NoticeKind::leaseSaveFailed, "Could not read leases: bad JSON"},
        {Notice::linkDown("en7"), NoticeKind::linkDown,
         "Link down. No device is connected to en7. Serving resumes on its own when the link returns."},
        {Notice::adapterUnplugged(), NoticeKind::adapterUnplugged,
         "The adapter was unplugged. Waiting for it to come back\xE2\x80\xA6"},
        {Notice::bootFileMissing("ipxe.efi", "/srv/boot"), NoticeKind::bootFileMissing,
         "Device asked for boot file ipxe.efi, which is not in the boot folder /srv/boot"},
        // The name comes off the wire: no byte of it may reach a terminal as a control.
        {Notice::bootFileMissing("a\x1b[2Jb\nc", "/srv/boot"), NoticeKind::bootFileMissing,
         "Device asked for boot file a\\x1b[2Jb\\x0ac, which is not in the boot folder /srv/boot"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(row.notice.kind, row.kind);
        EXPECT_EQ(row.notice.id(), row.kind);
        EXPECT_EQ(row.notice.isCritical(), isCritical(row.kind));
        EXPECT_EQ(row.notice.message, row.message);
    }
}

TEST(Notice, LeaseFileSetAsideNamesOnlyTheFile) {
    const char* expected =
        "The lease file could not be read and was moved to leases.corrupt-1.json. Starting with no leases.";
    for (const char* path : {"/home/tech/.local/share/DHCP Anvil/leases.corrupt-1.json", "leases.corrupt-1.json",
                             "../x/leases.corrupt-1.json"}) {
        auto notice = Notice::leaseFileSetAside(path);
        EXPECT_EQ(notice.kind, NoticeKind::leaseFileSetAside);
        EXPECT_EQ(notice.message, expected) << path;
        EXPECT_FALSE(notice.isCritical());
    }
}

TEST(PacketSummary, TakesOnlyWellFormedOptions) {
    DHCPPacket packet;
    packet.xid = 0xdeadbeef;
    packet.ciaddr = addr("192.168.0.9");
    packet.chaddr = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    packet.setOption(OptionCode::messageType, {3});
    packet.setOption(OptionCode::hostname, Bytes(80, 'h'));
    packet.setOption(OptionCode::vendorClass, {'A', 'P', 'C', 0x01});
    packet.setOption(OptionCode::clientID, {0x01, 0xab});
    packet.setOption(OptionCode::requestedIP, {192, 168, 0, 100});
    packet.setOption(OptionCode::serverID, {192, 168, 0, 1});

    auto summary = PacketSummary::from(packet, "en7");
    EXPECT_EQ(summary.type, DHCPMessageType::request);
    EXPECT_EQ(summary.mac, MACAddress::parse("02:11:22:33:44:55"));
    EXPECT_EQ(summary.xid, 0xdeadbeefu);
    EXPECT_EQ(summary.hostname, std::string(64, 'h'));
    EXPECT_EQ(summary.vendorClass, "APC\\x01");
    EXPECT_EQ(summary.clientID, "01:ab");
    EXPECT_EQ(summary.requestedIP, addr("192.168.0.100"));
    EXPECT_EQ(summary.serverID, addr("192.168.0.1"));
    EXPECT_EQ(summary.ciaddr, addr("192.168.0.9"));
    EXPECT_EQ(summary.interface, "en7");

    struct Row {
        const char* name;
        std::uint8_t code;
        Bytes data;
    };
    const Row malformed[] = {
        {"two-byte type", OptionCode::messageType, {3, 3}},
        {"unknown type", OptionCode::messageType, {42}},
        {"three-byte requested address", OptionCode::requestedIP, {192, 168, 0}},
        {"five-byte server identifier", OptionCode::serverID, {192, 168, 0, 1, 0}},
    };
    for (const auto& row : malformed) {
        auto broken = packet;
        broken.setOption(row.code, row.data);
        auto result = PacketSummary::from(broken);
        EXPECT_EQ(result.interface, std::nullopt);
        SCOPED_TRACE(row.name);
        EXPECT_EQ(result.type.has_value(), row.code != OptionCode::messageType);
        EXPECT_EQ(result.requestedIP.has_value(), row.code != OptionCode::requestedIP);
        EXPECT_EQ(result.serverID.has_value(), row.code != OptionCode::serverID);
    }

    auto bare = PacketSummary::from(DHCPPacket{});
    EXPECT_EQ(bare.type, std::nullopt);
    EXPECT_EQ(bare.hostname, std::nullopt);
    EXPECT_EQ(bare.vendorClass, std::nullopt);
    EXPECT_EQ(bare.clientID, std::nullopt);
    EXPECT_EQ(bare.requestedIP, std::nullopt);
}

TEST(ServerEvent, CasesCompareByPayloadAndVisitPlainly) {
    auto mac = *MACAddress::parse("02:00:00:00:00:01");
    EXPECT_EQ(ServerEvent::dropped("x", mac), ServerEvent::dropped("x", mac));
    EXPECT_NE(ServerEvent::dropped("x", mac), ServerEvent::dropped("x", std::nullopt));
    EXPECT_NE(ServerEvent::info("x"), ServerEvent::dropped("x", std::nullopt));
    EXPECT_NE(ServerEvent::noticeCleared(NoticeKind::linkDown), ServerEvent::noticeCleared(NoticeKind::otherServer));
    EXPECT_EQ(ServerEvent::stopped(), ServerEvent::stopped());

    std::vector<ServerEvent> events{
        ServerEvent::started("en7", ServerConfig{}),
        ServerEvent::received(PacketSummary{}),
        ServerEvent::sent(SentSummary{DHCPMessageType::ack, addr("192.168.0.100"), mac,
                                      ReplyDestination::unicast(addr("192.168.0.100")), "en7", "lease 1 h", {}}),
        ServerEvent::dropped("x", mac),
        ServerEvent::leaseChanged(Lease{}),
        ServerEvent::leaseRemoved(mac),
        ServerEvent::presence(addr("192.168.0.100"), mac, PresenceState::online, "ping"),
        ServerEvent::link(true, "1000baseT"),
        ServerEvent::noticeRaised(Notice::linkDown("en7")),
        ServerEvent::noticeCleared(NoticeKind::linkDown),
        ServerEvent::info("hello"),
        ServerEvent::stopped(),
        ServerEvent::tftpRequested(1, addr("192.168.0.100"), 2000, mac, "ipxe.efi", "tsize=0"),
        ServerEvent::tftpProgress(1, addr("192.168.0.100"), mac, "ipxe.efi", 512, 4096),
        ServerEvent::tftpFinished(1, addr("192.168.0.100"), mac, "ipxe.efi", 4096, 0.5),
        ServerEvent::tftpFailed(1, addr("192.168.0.100"), std::nullopt, "x", TFTPFailureReason::busy, ""),
    };
    const char* names[] = {"started",       "received",     "sent",         "dropped",      "leaseChanged",
                           "leaseRemoved",  "presence",     "link",         "noticeRaised", "noticeCleared",
                           "info",          "stopped",      "tftpRequested", "tftpProgress", "tftpFinished",
                           "tftpFailed"};
    for (std::size_t i = 0; i < events.size(); ++i) {
        EXPECT_EQ(events[i].value.index(), i);
        EXPECT_EQ(events[i].caseName(), names[i]);
    }
    auto sent = events[2].as<ServerEvent::Sent>();
    ASSERT_NE(sent, nullptr);
    EXPECT_EQ(sent->reply.destination.description(), "192.168.0.100:68");
    EXPECT_EQ(events[2].as<ServerEvent::Info>(), nullptr);
    auto text = std::visit(
        [](const auto& payload) -> std::string {
            if constexpr (std::is_same_v<std::decay_t<decltype(payload)>, ServerEvent::Info>) return payload.text;
            return "";
        },
        events[10].value);
    EXPECT_EQ(text, "hello");
}

}  // namespace
}  // namespace anvil
