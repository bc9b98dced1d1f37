// Which requests are boot clients and of what kind, from well-formed and hostile option bytes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/dhcp/boot_client.hpp"
#include "core/dhcp/option_code.hpp"

namespace anvil {
namespace {

struct Request {
    DHCPPacket packet;

    explicit Request(std::vector<std::uint8_t> mac = {0x02, 0, 0, 0, 0, 1}) {
        std::copy(mac.begin(), mac.end(), packet.chaddr.begin());
        packet.options.push_back({OptionCode::messageType, {1}});
    }
    Request& option(std::uint8_t code, Bytes data) {
        packet.options.push_back({code, std::move(data)});
        return *this;
    }
    Request& text(std::uint8_t code, const std::string& value) { return option(code, Bytes(value.begin(), value.end())); }
};

const std::vector<std::uint8_t> piMAC{0xdc, 0xa6, 0x32, 0x01, 0x02, 0x03};
const std::string piClass = "PXEClient:Arch:00000:UNDI:002001";

TEST(BootClient, KindAndReasonComeFromTheFirstRuleThatApplies) {
    struct Case {
        const char* name;
        Request request;
        std::optional<BootKind> kind;
        std::string reason;
        bool isPXE;
    };
    std::vector<Case> cases{
        {"BIOS PXE ROM", Request().text(60, "PXEClient:Arch:00000:UNDI:002001").option(93, {0, 0}), BootKind::bios,
         "option 93 = 0", true},
        {"UEFI x64", Request().text(60, "PXEClient:Arch:00007:UNDI:003016").option(93, {0, 7}), BootKind::efiX64,
         "option 93 = 7", true},
        {"UEFI x64 code 9", Request().option(93, {0, 9}), BootKind::efiX64, "option 93 = 9", false},
        {"UEFI arm64", Request().option(93, {0, 0x0B}), BootKind::efiArm64, "option 93 = 11", false},
        {"arm32 firmware", Request().option(93, {0, 0x15}), BootKind::arm32, "option 93 = 21", false},
        {"arm64 firmware", Request().option(93, {0, 0x16}), BootKind::arm64, "option 93 = 22", false},
        {"first of several codes", Request().option(93, {0, 7, 0, 0}), BootKind::efiX64, "option 93 = 7", false},
        {"high byte counts", Request().option(93, {1, 7}), std::nullopt, "option 93 = 263", false},
        {"unknown architecture", Request().option(93, {0, 0x10}), std::nullopt, "option 93 = 16", false},
        // A running iPXE reports the ROM's architecture too; it must not be handed the ROM's file.
        {"running iPXE", Request().text(60, "PXEClient:Arch:00007:UNDI:003010").option(93, {0, 7}).text(77, "iPXE"),
         BootKind::ipxe, "user class iPXE", true},
        {"iPXE in an RFC 3004 list", Request().option(77, {4, 'i', 'P', 'X', 'E'}).option(55, {67}), BootKind::ipxe,
         "user class iPXE", false},
        {"user class only looks alike", Request().text(77, "ipxe").option(93, {0, 0}), BootKind::bios, "option 93 = 0",
         false},
        {"U-Boot", Request().text(60, "U-Boot.armv8").option(93, {0, 0x16}), BootKind::uboot,
         "vendor class U-Boot.armv8", false},
        {"U-boot lower case", Request().text(60, "u-boot.arm"), BootKind::uboot, "vendor class u-boot.arm", false},
        {"Raspberry Pi", Request(piMAC).text(60, piClass).option(93, {0, 0}), BootKind::rpi,
         "Raspberry Pi dc:a6:32:01:02:03", true},
        {"Pi class from another maker", Request().text(60, piClass), BootKind::bios, "vendor class " + piClass, true},
        {"Pi maker with another class", Request(piMAC).text(60, "PXEClient:Arch:00000:UNDI:002002"), BootKind::bios,
         "vendor class PXEClient:Arch:00000:UNDI:002002", true},
        {"architecture in the class", Request().text(60, "PXEClient:Arch:00011:UNDI:003000"), BootKind::efiArm64,
         "vendor class PXEClient:Arch:00011:UNDI:003000", true},
        {"HTTP boot class", Request().text(60, "HTTPClient:Arch:00016:UNDI:003001"), std::nullopt,
         "vendor class HTTPClient:Arch:00016:UNDI:003001", false},
        {"short architecture digits", Request().text(60, "PXEClient:Arch:7"), BootKind::bios,
         "vendor class PXEClient:Arch:7", true},
        {"architecture past 16 bits", Request().text(60, "PXEClient:Arch:99999"), BootKind::bios,
         "vendor class PXEClient:Arch:99999", true},
        {"odd option 93 falls back to the class", Request().text(60, "PXEClient:Arch:00007").option(93, {0, 7, 0}),
         BootKind::efiX64, "vendor class PXEClient:Arch:00007", true},
        {"empty option 93", Request().option(93, {}), std::nullopt, "option 93 unreadable", false},
        {"asks for 67", Request().option(55, {1, 3, 67}), std::nullopt, "asks for option 67", false},
        {"asks for 66", Request().option(55, {66}), std::nullopt, "asks for option 66", false},
        {"asks for both", Request().option(55, {66, 6, 67}), std::nullopt, "asks for options 66 and 67", false},
        {"class with control bytes", Request().option(60, {'P', 'X', 'E', 'C', 'l', 'i', 'e', 'n', 't', 0x1b, '\n'}),
         BootKind::bios, "vendor class PXEClient\\x1b\\x0a", true},
    };
    for (const auto& c : cases) {
        auto client = classifyBootClient(c.request.packet);
        ASSERT_TRUE(client.has_value()) << c.name;
        EXPECT_EQ(client->kind, c.kind) << c.name;
        EXPECT_EQ(client->reason, c.reason) << c.name;
        EXPECT_EQ(client->isPXE, c.isPXE) << c.name;
    }
}

TEST(BootClient, OrdinaryAndLookAlikeClientsAreNotBootClients) {
    std::string longClass(255, 'A');
    struct Case {
        const char* name;
        Request request;
    };
    std::vector<Case> cases{
        {"no options beyond the type", Request()},
        {"ordinary request list", Request().option(55, {1, 3, 6, 15, 28, 42})},
        {"empty request list", Request().option(55, {})},
        {"Windows class", Request().text(60, "MSFT 5.0")},
        {"class containing PXEClient", Request().text(60, "xPXEClient")},
        {"class too short for U-Boot", Request().text(60, "U-Boo")},
        {"lower-case pxeclient", Request().text(60, "pxeclient")},
        {"iPXE user class alone", Request().text(77, "iPXE")},
        {"long class", Request().text(60, longClass)},
    };
    for (const auto& c : cases) EXPECT_EQ(classifyBootClient(c.request.packet), std::nullopt) << c.name;
}

}  // namespace
}  // namespace anvil
