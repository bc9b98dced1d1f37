// What OFFER and ACK tell network boot clients, and replies kept within the client's size limit.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/dhcp_service/boot_reply.hpp"
#include "tests/dhcp_service/responder_fixtures.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using Type = DHCPMessageType;

constexpr double t0 = 1'700'000'000;
const MACAddress pc = hw("02:00:00:00:00:01");
const MACAddress pi = hw("dc:a6:32:01:02:03");

ServerConfig bootConfig() {
    auto config = benchConfig();
    BootConfig boot;
    boot.folder = "/srv/boot";
    boot.files = {{BootKind::bios, "undionly.kpxe"},    {BootKind::efiX64, "ipxe.efi"},
                  {BootKind::efiArm64, "arm64/ipxe.efi"}, {BootKind::uboot, "boot.scr.uimg"},
                  {BootKind::ipxe, "boot.ipxe"}};
    config.boot = boot;
    return config;
}

Bytes text(std::string_view value) { return Bytes(value.begin(), value.end()); }

const Reply& replyOf(const Decision& decision) {
    static const Reply none{};
    auto reply = decision.action.replyValue();
    EXPECT_NE(reply, nullptr);
    return reply ? *reply : none;
}

TEST(BootReply, EachKindIsToldItsServerAndFile) {
    auto withAll = bootConfig();
    withAll.boot->fileForAll = "grubnetx64.efi";
    struct Case {
        const char* name;
        ServerConfig config;
        Message request;
        std::optional<std::string> file;  // option 67 and the file field; nothing for neither
        bool pxeClass;                    // option 60 "PXEClient" in the reply
        bool piMenu;                      // option 43 with the Pi's menu entry
        std::string note;
    };
    auto discover = [](const MACAddress& mac) { return Message(Type::discover, mac); };
    std::vector<Case> cases{
        {"BIOS PXE", bootConfig(),
         discover(pc).vendorClass("PXEClient:Arch:00000:UNDI:002001").option(93, {0, 0}), "undionly.kpxe", false, false,
         "boot file undionly.kpxe for bios (option 93 = 0)"},
        {"UEFI x64", bootConfig(), discover(pc).vendorClass("PXEClient:Arch:00007:UNDI:003016").option(93, {0, 7}),
         "ipxe.efi", false, false, "boot file ipxe.efi for efi-x64 (option 93 = 7)"},
        {"UEFI arm64", bootConfig(), discover(pc).option(93, {0, 11}), "arm64/ipxe.efi", false, false,
         "boot file arm64/ipxe.efi for efi-arm64 (option 93 = 11)"},
        {"arm64 without a name", bootConfig(), discover(pc).option(93, {0, 0x16}), std::nullopt, false, false,
         "boot server only for arm64 (option 93 = 22)"},
        {"arm32 takes the name for all", withAll, discover(pc).option(93, {0, 0x15}), "grubnetx64.efi", false, false,
         "boot file grubnetx64.efi for arm32 (option 93 = 21)"},
        {"U-Boot", bootConfig(), discover(pc).vendorClass("U-Boot.armv8").option(93, {0, 0x16}), "boot.scr.uimg", false,
         false, "boot file boot.scr.uimg for uboot (vendor class U-Boot.armv8)"},
        {"running iPXE", bootConfig(),
         discover(pc).vendorClass("PXEClient:Arch:00007:UNDI:003010").option(93, {0, 7}).option(77, text("iPXE")),
         "boot.ipxe", false, false, "boot file boot.ipxe for ipxe (user class iPXE)"},
        {"Raspberry Pi", bootConfig(), discover(pi).vendorClass("PXEClient:Arch:00000:UNDI:002001").option(93, {0, 0}),
         std::nullopt, true, true, "boot server only for rpi (Raspberry Pi dc:a6:32:01:02:03)"},
        {"asks for 67 only, no name for all", bootConfig(), discover(pc).option(55, {1, 3, 67}), std::nullopt, false,
         false, "boot server only (asks for option 67)"},
        {"asks for 67 only, name for all", withAll, discover(pc).option(55, {1, 3, 67}), "grubnetx64.efi", false, false,
         "boot file grubnetx64.efi (asks for option 67)"},
    };
    for (const auto& c : cases) {
        for (auto type : {Type::offer, Type::ack}) {
            Responder responder{c.config};
            auto decision = responder.decide(c.request, contextAt(t0));
            if (type == Type::ack) {
                // The REQUEST that takes the offer, from the same client, with the same options.
                auto request = Message(c.request).option(OptionCode::messageType, {rawValue(Type::request)})
                                   .serverID(addr("192.168.0.1"))
                                   .requested(replyOf(decision).packet.yiaddr);
                decision = responder.decide(request, contextAt(t0 + 1, decision.table));
            }
            const auto& reply = replyOf(decision);
            SCOPED_TRACE(std::string(c.name) + (type == Type::ack ? " ACK" : " OFFER"));
            ASSERT_EQ(reply.type, type);
            EXPECT_EQ(reply.packet.siaddr, addr("192.168.0.1"));
            EXPECT_EQ(reply.packet.option(OptionCode::tftpServerName), text("192.168.0.1"));
            EXPECT_EQ(reply.packet.option(OptionCode::bootfileName),
                      c.file ? std::optional(text(*c.file)) : std::nullopt);
            EXPECT_EQ(reply.packet.file, c.file.value_or(""));
            EXPECT_EQ(reply.packet.option(OptionCode::vendorClass),
                      c.pxeClass ? std::optional(text("PXEClient")) : std::nullopt);
            EXPECT_EQ(reply.packet.option(OptionCode::vendorSpecific),
                      c.piMenu ? std::optional(Bytes(piBootMenu.begin(), piBootMenu.end())) : std::nullopt);
            auto expectedNote = type == Type::ack ? "lease 24 h; " + c.note : c.note;
            EXPECT_EQ(reply.note, expectedNote);
        }
    }
}

TEST(BootReply, OnlyBootClientsOfABootConfigurationAreToldAnything) {
    auto pxe = Message(Type::discover, pc).vendorClass("PXEClient:Arch:00007:UNDI:003016").option(93, {0, 7});
    auto inform = Message(pxe).option(OptionCode::messageType, {rawValue(Type::inform)}).ciaddr(addr("192.168.0.50"));
    struct Case {
        const char* name;
        ServerConfig config;
        DHCPPacket request;
        bool told;
    };
    const Case cases[] = {
        {"boot off", benchConfig(), pxe, false},
        {"ordinary client", bootConfig(), Message(Type::discover, pc).option(55, {1, 3, 6}), false},
        {"boot client", bootConfig(), pxe, true},
        {"boot client's INFORM", bootConfig(), inform, true},
        {"INFORM from an ordinary client", bootConfig(), Message(inform).withoutOption(60).withoutOption(93), false},
    };
    for (const auto& c : cases) {
        auto decision = Responder{c.config}.decide(c.request, contextAt(t0));
        const auto& reply = replyOf(decision);
        auto codes = optionCodes(reply.packet);
        auto has = [&codes](std::uint8_t code) { return std::find(codes.begin(), codes.end(), code) != codes.end(); };
        EXPECT_EQ(reply.packet.siaddr != IPv4Address::zero, c.told) << c.name;
        EXPECT_EQ(has(OptionCode::tftpServerName), c.told) << c.name;
        EXPECT_EQ(has(OptionCode::bootfileName), c.told) << c.name;
        EXPECT_EQ(!reply.packet.file.empty(), c.told) << c.name;
    }
}

TEST(BootReply, ReplyStaysWithinTheClientLimitAndKeepsTheBootFile) {
    struct Case {
        const char* name;
        std::size_t dnsServers;
        std::string file;
        std::optional<std::uint16_t> maxMessageSize;
        std::size_t limit;
        std::size_t dnsKept;
        std::vector<std::uint8_t> leftOut;
        std::string cut;  // the note's last piece; empty when nothing was cut
    };
    const std::string name127(127, 'n');
    const std::string name255(255, 'm');
    const Case cases[] = {
        {"no option 57: 576", 60, name127, std::nullopt, 548, 29, {}, "; cut to 548 bytes: 31 DNS servers left out"},
        {"option 57 below 576 counts as 576", 60, name127, 300, 548, 29, {}, "; cut to 548 bytes: 31 DNS servers left out"},
        {"option 57 with room", 60, name127, 1500, 1472, 60, {}, ""},
        {"name only in option 67", 3, name255, std::nullopt, 548, 1, {66, 28},
         "; cut to 548 bytes: 2 DNS servers, options 66, 28 left out"},
    };
    for (const auto& c : cases) {
        auto config = bootConfig();
        config.router = addr("192.168.0.254");
        for (std::size_t i = 0; i < c.dnsServers; ++i)
            config.dns.push_back(IPv4Address{addr("10.0.0.0").value + static_cast<std::uint32_t>(i)});
        config.boot->files[BootKind::efiX64] = c.file;
        auto request = Message(Type::discover, pc).vendorClass("PXEClient:Arch:00007:UNDI:003016").option(93, {0, 7});
        if (c.maxMessageSize) request.option(OptionCode::maxMessageSize, bigEndianBytes(*c.maxMessageSize));
        ASSERT_EQ(clientMessageLimit(request), c.limit) << c.name;

        auto decision = Responder{config}.decide(request, contextAt(t0));
        const auto& reply = replyOf(decision);
        auto bytes = reply.packet.serialize(DHCPPacket::minimumReplyLength);
        EXPECT_LE(bytes.size(), c.limit) << c.name;
        EXPECT_EQ(reply.packet.option(OptionCode::bootfileName), text(c.file)) << c.name;
        EXPECT_EQ(reply.packet.file, c.file.size() < 128 ? c.file : "") << c.name;
        for (auto kept : {OptionCode::messageType, OptionCode::serverID, OptionCode::leaseTime, OptionCode::subnetMask})
            EXPECT_TRUE(reply.packet.option(kept).has_value()) << c.name << " option " << int(kept);
        // The servers kept are the first ones, whole.
        Bytes firstServers;
        for (std::size_t i = 0; i < c.dnsKept; ++i) {
            auto server = config.dns[i].bytes();
            firstServers.insert(firstServers.end(), server.begin(), server.end());
        }
        EXPECT_EQ(reply.packet.option(OptionCode::dns), firstServers) << c.name;
        for (auto code : c.leftOut) EXPECT_FALSE(reply.packet.option(code).has_value()) << c.name << " option " << int(code);
        auto note = reply.note.value_or("");
        EXPECT_TRUE(note.ends_with("(option 93 = 7)" + c.cut)) << c.name << ": " << note;
    }
}

TEST(BootReply, FittingLeavesOutWholeOptionsLeastNeededFirst) {
    // Wire order as the responder builds it, with every option fitting may leave out.
    DHCPPacket full;
    full.options = {
        {53, {2}},          {54, {192, 168, 0, 1}}, {51, {0, 0, 14, 16}},      {58, {0, 0, 7, 8}},
        {59, {0, 0, 12, 60}}, {1, {255, 255, 255, 0}}, {28, {192, 168, 0, 255}}, {3, {192, 168, 0, 254}},
        {6, {10, 0, 0, 1, 10, 0, 0, 2, 10, 0, 0, 3}}, {66, text("192.168.0.1")},   {67, text("ipxe.efi")},
        {60, text("PXEClient")}, {43, Bytes(piBootMenu.begin(), piBootMenu.end())},
    };
    auto size = full.encodedLength();
    const std::vector<std::uint8_t> everyOptional{66, 28, 59, 58, 3, 43, 60};
    struct Case {
        const char* name;
        std::size_t limit;
        std::size_t dnsLeftOut;
        std::vector<std::uint8_t> leftOut;
    };
    const Case cases[] = {
        {"fits already", size, 0, {}},
        {"one byte over loses one DNS server", size - 1, 1, {}},
        {"DNS keeps one server before 66 goes", size - 8, 2, {}},
        {"then 66 goes", size - 9, 2, {66}},
        {"then the broadcast address", size - 8 - 13 - 1, 2, {66, 28}},
        {"nothing fits", 0, 3, everyOptional},
    };
    for (const auto& c : cases) {
        auto reply = full;
        auto fitted = fitToClientLimit(reply, c.limit);
        EXPECT_EQ(fitted.dnsServersLeftOut, c.dnsLeftOut) << c.name;
        EXPECT_EQ(fitted.optionsLeftOut, c.leftOut) << c.name;
        if (c.limit > 0) {
            EXPECT_LE(reply.encodedLength(), c.limit) << c.name;
        }
        // Never cut short: what stays is what was there.
        for (const auto& field : reply.options) {
            auto before = full.option(field.code);
            ASSERT_TRUE(before.has_value()) << c.name;
            if (field.code != 6) {
                EXPECT_EQ(field.data, *before) << c.name << " option " << int(field.code);
            }
        }
        for (auto kept : {53, 54, 51, 1, 67})
            EXPECT_TRUE(reply.option(static_cast<std::uint8_t>(kept)).has_value()) << c.name << " option " << kept;
    }
}

}  // namespace
}  // namespace anvil
