#include "core/addressing/server_config.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/addressing/decoding_error.hpp"
#include "core/addressing/duration.hpp"
#include "core/addressing/pin_text.hpp"
#include "core/addressing/server_config_json.hpp"
#include "core/addressing/timing.hpp"

using namespace anvil;
using Kind = ConfigError::Kind;

namespace {

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }

ServerConfig usable() {
    return {ip("192.168.0.1"), 24, ip("192.168.0.100"), ip("192.168.0.200"), 86400, {}, {}, std::nullopt};
}

std::vector<Kind> kinds(const ServerConfig& config) {
    std::vector<Kind> result;
    for (const auto& error : config.validate()) result.push_back(error.kind);
    return result;
}

}  // namespace

TEST(ServerConfigValidation, AcceptsTheUsualBenchConfiguration) { EXPECT_TRUE(usable().validate().empty()); }

TEST(ServerConfigValidation, RefusesPrefixesOutsideEightToThirtyAlone) {
    for (int prefix : {7, 31, 0, 32, -1}) {
        auto config = usable();
        config.prefixLength = prefix;
        config.leaseSeconds = 1;  // would be an error too, but the prefix check stands alone
        auto errors = config.validate();
        ASSERT_EQ(errors.size(), 1u) << prefix;
        EXPECT_EQ(errors[0], ConfigError::prefixOutOfBounds(prefix));
    }
    auto config = usable();
    config.prefixLength = 7;
    EXPECT_EQ(config.validate()[0].description(), "Prefix /7 is not allowed. Use /8 to /30.");
    config = usable();
    config.prefixLength = 8;
    EXPECT_TRUE(config.validate().empty());
    config = usable();
    config.serverIP = ip("192.168.0.1");
    config.prefixLength = 30;
    config.rangeStart = config.rangeEnd = ip("192.168.0.2");
    EXPECT_TRUE(config.validate().empty());
}

TEST(ServerConfigValidation, ReportsEachProblemOfTheRangeServerGatewayLeaseAndDNS) {
    struct Case {
        const char* name;
        void (*change)(ServerConfig&);
        std::vector<Kind> expected;
    };
    const Case cases[] = {
        {"server is network",
         [](ServerConfig& c) { c.serverIP = ip("192.168.0.0"); },
         {Kind::serverIPIsNetworkOrBroadcast}},
        {"server is broadcast",
         [](ServerConfig& c) { c.serverIP = ip("192.168.0.255"); },
         {Kind::serverIPIsNetworkOrBroadcast}},
        {"reversed range", [](ServerConfig& c) { std::swap(c.rangeStart, c.rangeEnd); }, {Kind::rangeReversed}},
        {"range touches network",
         [](ServerConfig& c) {
             c.rangeStart = ip("192.168.0.0");
             c.rangeEnd = ip("192.168.0.50");
         },
         {Kind::rangeIncludesNetworkOrBroadcast, Kind::serverIPInsideRange}},
        {"reversed range touches broadcast",
         [](ServerConfig& c) {
             c.rangeStart = ip("192.168.0.255");
             c.rangeEnd = ip("192.168.0.100");
         },
         {Kind::rangeReversed, Kind::rangeIncludesNetworkOrBroadcast}},
        {"range leaves subnet", [](ServerConfig& c) { c.rangeEnd = ip("192.168.1.5"); }, {Kind::rangeOutsideSubnet}},
        {"server inside range", [](ServerConfig& c) { c.serverIP = ip("192.168.0.150"); }, {Kind::serverIPInsideRange}},
        {"server at range start",
         [](ServerConfig& c) { c.serverIP = ip("192.168.0.100"); },
         {Kind::serverIPInsideRange}},
        {"server at range end", [](ServerConfig& c) { c.serverIP = ip("192.168.0.200"); }, {Kind::serverIPInsideRange}},
        {"router outside", [](ServerConfig& c) { c.router = ip("10.0.0.1"); }, {Kind::gatewayOutsideSubnet}},
        {"router inside", [](ServerConfig& c) { c.router = ip("192.168.0.254"); }, {}},
        {"lease 59", [](ServerConfig& c) { c.leaseSeconds = 59; }, {Kind::leaseTimeOutOfBounds}},
        {"lease 60", [](ServerConfig& c) { c.leaseSeconds = 60; }, {}},
        {"lease 2592000", [](ServerConfig& c) { c.leaseSeconds = 2592000; }, {}},
        {"lease 2592001", [](ServerConfig& c) { c.leaseSeconds = 2592001; }, {Kind::leaseTimeOutOfBounds}},
        {"three dns",
         [](ServerConfig& c) {
             c.dns = {ip("1.1.1.1"), ip("8.8.8.8"), ip("9.9.9.9")};
         },
         {}},
        {"four dns", [](ServerConfig& c) { c.dns.assign(4, ip("1.1.1.1")); }, {Kind::tooManyDNSServers}},
        {"several at once",
         [](ServerConfig& c) {
             c.serverIP = ip("192.168.0.0");
             std::swap(c.rangeStart, c.rangeEnd);
             c.leaseSeconds = 10;
         },
         {Kind::serverIPIsNetworkOrBroadcast, Kind::rangeReversed, Kind::leaseTimeOutOfBounds}},
    };
    for (const auto& testCase : cases) {
        auto config = usable();
        testCase.change(config);
        EXPECT_EQ(kinds(config), testCase.expected) << testCase.name;
    }
}

TEST(ServerConfigValidation, NamesTheSubnetInItsMessages) {
    auto config = usable();
    config.rangeEnd = ip("192.168.1.5");
    config.router = ip("10.0.0.1");
    auto errors = config.validate();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_EQ(errors[0].description(), "Range must be inside 192.168.0.0/24.");
    EXPECT_EQ(errors[1].description(), "Gateway must be inside 192.168.0.0/24.");
    const std::pair<Kind, const char*> texts[] = {
        {Kind::serverIPIsNetworkOrBroadcast, "Server IP can't be the subnet's network or broadcast address."},
        {Kind::rangeReversed, "Range start must not be after range end."},
        {Kind::rangeIncludesNetworkOrBroadcast, "Range can't include the subnet's network or broadcast address."},
        {Kind::serverIPInsideRange, "Server IP must not be inside the range."},
        {Kind::leaseTimeOutOfBounds, "Lease time must be between 1 minute and 30 days."},
        {Kind::tooManyDNSServers, "Use at most 3 DNS servers."},
    };
    for (auto [kind, text] : texts) EXPECT_EQ(ConfigError::plain(kind).description(), text);
}

TEST(ServerConfigValidation, RefusesPinsThatCannotBeKeptNamingThePin) {
    auto pin = [](const char* device, const char* address) { return *readPin(device, address, "").pin; };
    auto config = usable();
    // Inside and outside the range; a client identifier is another device than the card it names.
    config.pins = {pin("02:00:00:00:00:01", "192.168.0.50"), pin("id:01:02:00:00:00:00:01", "192.168.0.150")};
    EXPECT_TRUE(config.validate().empty());
    config.pins = {pin("02:00:00:00:00:01", "192.168.0.50"), pin("02:00:00:00:00:01", "192.168.0.51"),
                   pin("id:01:02", "192.168.0.50"),          pin("id:01:02", "192.168.0.50"),
                   pin("02:00:00:00:00:02", "192.168.1.50"), pin("02:00:00:00:00:03", "192.168.0.1"),
                   pin("02:00:00:00:00:04", "192.168.0.255")};
    std::vector<std::string> texts;
    for (const auto& error : config.validate()) texts.push_back(error.description());
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "02:00:00:00:00:01 is pinned twice.", "192.168.0.50 is pinned to two devices.",
                         "id:01:02 is pinned twice.",
                         "The address pinned to 02:00:00:00:00:02 must be inside 192.168.0.0/24.",
                         "02:00:00:00:00:03 can't be pinned to the server's own address.",
                         "02:00:00:00:00:04 can't be pinned to the subnet's network or broadcast address."}));
}

TEST(ServerConfig, DerivesTimesMaskAndRange) {
    auto config = usable();
    EXPECT_EQ(config.renewalSeconds(), 43200u);
    EXPECT_EQ(config.rebindingSeconds(), 75600u);
    config.leaseSeconds = 61;
    EXPECT_EQ(config.renewalSeconds(), 30u);
    EXPECT_EQ(config.rebindingSeconds(), 53u);
    config.leaseSeconds = 4294967295u;
    EXPECT_EQ(config.renewalSeconds(), 2147483647u);
    EXPECT_EQ(config.rebindingSeconds(), 3758096383u);

    config = usable();
    EXPECT_EQ(config.mask(), ip("255.255.255.0"));
    EXPECT_EQ(config.broadcastAddress(), ip("192.168.0.255"));
    EXPECT_EQ(config.subnet().description(), "192.168.0.0/24");
    EXPECT_EQ(config.rangeCount(), 101);
    EXPECT_TRUE(config.inRange(ip("192.168.0.100")));
    EXPECT_TRUE(config.inRange(ip("192.168.0.200")));
    EXPECT_FALSE(config.inRange(ip("192.168.0.201")));
    std::swap(config.rangeStart, config.rangeEnd);
    EXPECT_EQ(config.rangeCount(), 0);
    EXPECT_FALSE(config.inRange(ip("192.168.0.150")));
    EXPECT_EQ(config.range(), (AddressRange{ip("192.168.0.100"), ip("192.168.0.200")}));

    config.prefixLength = 0;
    EXPECT_EQ(config.mask(), IPv4Address::zero);
    EXPECT_EQ(config.broadcastAddress(), IPv4Address::broadcast);
    config.prefixLength = 40;
    EXPECT_EQ(config.subnet().prefixLength, 32);
    EXPECT_EQ(config.mask(), IPv4Address::broadcast);
}

TEST(ServerConfigJSON, RoundTripsAndLeavesOutAnAbsentRouter) {
    auto config = usable();
    config.dns = {ip("1.1.1.1"), ip("8.8.8.8")};
    nlohmann::json json = config;
    EXPECT_EQ(json.dump(),
              R"({"dns":["1.1.1.1","8.8.8.8"],"leaseSeconds":86400,"prefixLength":24,"rangeEnd":"192.168.0.200",)"
              R"("rangeStart":"192.168.0.100","serverIP":"192.168.0.1"})");
    EXPECT_EQ(json.get<ServerConfig>(), config);
    config.router = ip("192.168.0.254");
    json = config;
    EXPECT_EQ(json["router"], "192.168.0.254");
    EXPECT_EQ(json.get<ServerConfig>(), config);
    // BOOTP is answered unless the file says otherwise; only "off" is written.
    config.answerBOOTP = false;
    json = config;
    EXPECT_EQ(json["answerBOOTP"], false);
    EXPECT_EQ(json.get<ServerConfig>(), config);
    config.pins = {Pin{MACAddress::parse("02:00:00:00:00:01"), std::nullopt, ip("192.168.0.50"), "board"},
                   Pin{std::nullopt, Bytes{1, 2}, ip("192.168.0.51"), ""}};
    json = config;
    EXPECT_EQ(json["pins"].dump(), R"([{"device":"02:00:00:00:00:01","ip":"192.168.0.50","label":"board"},)"
                                   R"({"device":"id:01:02","ip":"192.168.0.51"}])");
    EXPECT_EQ(json.get<ServerConfig>(), config);
}

TEST(ServerConfigJSON, RefusesMissingKeysAndMisshapenNumbers) {
    nlohmann::json good = usable();
    for (const char* key : {"serverIP", "prefixLength", "rangeStart", "rangeEnd", "leaseSeconds", "dns"}) {
        auto json = good;
        json.erase(key);
        EXPECT_THROW((void)json.get<ServerConfig>(), DecodingError) << key;
    }
    for (nlohmann::json bad :
         {nlohmann::json(12.7), nlohmann::json(-1), nlohmann::json(4294967296LL), nlohmann::json("60")}) {
        auto json = good;
        json["leaseSeconds"] = bad;
        EXPECT_THROW((void)json.get<ServerConfig>(), DecodingError) << bad.dump();
    }
    auto json = good;
    json["rangeEnd"] = "192.168.0";
    EXPECT_THROW((void)json.get<ServerConfig>(), DecodingError);
    for (nlohmann::json bad : {nlohmann::json("false"), nlohmann::json(0), nlohmann::json(nullptr)}) {
        json = good;
        json["answerBOOTP"] = bad;
        EXPECT_THROW((void)json.get<ServerConfig>(), DecodingError) << bad.dump();
    }
    for (auto bad :
         {R"({"device":"02:00:00:00:00:01"})", R"({"device":"02:00:00:00:00:01","ip":"192.168.0.5.1"})",
          R"({"device":"02-00","ip":"192.168.0.50"})", R"({"device":"02:00:00:00:00:01","ip":"192.168.0.50","mac":1})",
          R"({"device":"02:00:00:00:00:01","ip":"192.168.0.50","label":7})", R"("02:00:00:00:00:01")"}) {
        json = good;
        json["pins"] = nlohmann::json::array({nlohmann::json::parse(bad)});
        EXPECT_THROW((void)json.get<ServerConfig>(), DecodingError) << bad;
    }
}

TEST(ServerConfigJSON, BootRoundTripsAndIsOffWhenAbsent) {
    auto config = usable();
    nlohmann::json json = config;
    EXPECT_FALSE(json.contains("boot")) << "files without it stay readable by older versions";
    EXPECT_EQ(json.get<ServerConfig>().boot, std::nullopt);
    json["boot"] = nullptr;
    EXPECT_EQ(json.get<ServerConfig>().boot, std::nullopt);

    config.boot =
        BootConfig{"/srv/boot", "ipxe.efi", {{BootKind::bios, "undionly.kpxe"}, {BootKind::ipxe, "boot.ipxe"}}, 8192};
    json = config;
    EXPECT_EQ(json["boot"].dump(),
              R"({"blockSizeCeiling":8192,"fileForAll":"ipxe.efi","files":{"bios":"undionly.kpxe","ipxe":"boot.ipxe"},)"
              R"("folder":"/srv/boot"})");
    EXPECT_EQ(json.get<ServerConfig>(), config);
    // Only the folder is needed: no file for all, no kinds, the standard ceiling.
    json["boot"] = {{"folder", "/srv/boot"}};
    EXPECT_EQ(json.get<ServerConfig>().boot, (BootConfig{"/srv/boot", std::nullopt, {}, defaultBlockSizeCeiling}));
}

TEST(ServerConfigJSON, RefusesHostileBootSettings) {
    nlohmann::json good = usable();
    good["boot"] = {{"folder", "/srv/boot"}, {"fileForAll", "ipxe.efi"}, {"files", {{"rpi", "bootcode.bin"}}}};
    ASSERT_NO_THROW((void)good.get<ServerConfig>());
    struct Case {
        const char* what;
        nlohmann::json::json_pointer where;
        nlohmann::json value;
    };
    const Case cases[] = {
        {"not an object", "/boot"_json_pointer, "on"},
        {"a list", "/boot"_json_pointer, nlohmann::json::array({"/srv/boot"})},
        {"no folder", "/boot"_json_pointer, {{"fileForAll", "a"}}},
        {"folder a number", "/boot/folder"_json_pointer, 7},
        {"folder relative", "/boot/folder"_json_pointer, "boot"},
        {"folder empty", "/boot/folder"_json_pointer, ""},
        {"folder with a zero byte", "/boot/folder"_json_pointer, std::string("/srv\0/etc", 9)},
        {"file for all empty", "/boot/fileForAll"_json_pointer, ""},
        {"file for all a list", "/boot/fileForAll"_json_pointer, nlohmann::json::array()},
        {"file name too long for the file field", "/boot/fileForAll"_json_pointer, std::string(128, 'a')},
        {"file name with a newline", "/boot/fileForAll"_json_pointer, "a\nb"},
        {"files a list", "/boot/files"_json_pointer, nlohmann::json::array({"a"})},
        {"an unknown kind", "/boot/files"_json_pointer, {{"amiga", "a"}}},
        {"a kind in capitals", "/boot/files"_json_pointer, {{"BIOS", "a"}}},
        {"a kind's name a number", "/boot/files"_json_pointer, {{"bios", 1}}},
        {"a kind's name with an escape", "/boot/files"_json_pointer, {{"uboot", "boot\x1b[2J"}}},
        {"ceiling below RFC 2348", "/boot/blockSizeCeiling"_json_pointer, 7},
        {"ceiling above RFC 2348", "/boot/blockSizeCeiling"_json_pointer, 65465},
        {"ceiling wrapping 16 bits", "/boot/blockSizeCeiling"_json_pointer, 65536 + 1468},
        {"ceiling negative", "/boot/blockSizeCeiling"_json_pointer, -1468},
        {"ceiling a fraction", "/boot/blockSizeCeiling"_json_pointer, 1468.5},
        {"ceiling as text", "/boot/blockSizeCeiling"_json_pointer, "1468"},
    };
    for (const auto& sample : cases) {
        auto json = good;
        json[sample.where] = sample.value;
        EXPECT_THROW((void)json.get<ServerConfig>(), DecodingError) << sample.what;
    }
    // The largest allowed ceiling and a name of exactly 127 bytes are fine.
    auto json = good;
    json["/boot/blockSizeCeiling"_json_pointer] = 65464;
    json["/boot/fileForAll"_json_pointer] = std::string(127, 'a');
    EXPECT_EQ(json.get<ServerConfig>().boot->blockSizeCeiling, 65464);
}

TEST(Duration, ParsesPlainNumbersAndOneLowerCaseUnit) {
    const std::pair<const char*, std::uint32_t> accepted[] = {
        {"90", 90},
        {"90s", 90},
        {"15m", 900},
        {"24h", 86400},
        {"7d", 604800},
        {"0", 0},
        {"4294967295", 4294967295u},
        {"49710d", 4294944000u},
        {"007m", 420},
    };
    for (auto [text, seconds] : accepted) EXPECT_EQ(parseDuration(text), seconds) << text;
    for (const char* text : {"", "s", "1.5h", "10M", "-5", "+5", "1h30m", "1 h", " 5", "49711d", "4294967296",
                             "99999999999999999999", "18446744073709551616s", "5x"}) {
        EXPECT_EQ(parseDuration(text), std::nullopt) << text;
    }
}

TEST(Duration, FormatsAtMostTwoPartsAndWholeDaysFromTwoDays) {
    const std::pair<std::uint32_t, const char*> cases[] = {
        {0, "0 s"},
        {59, "59 s"},
        {60, "1 m"},
        {3600, "1 h"},
        {3661, "1 h 1 m"},
        {3601, "1 h 1 s"},
        {86400, "24 h"},
        {90000, "25 h"},
        {172800, "2 d"},
        {2592000, "30 d"},
        {176400, "49 h"},
        {61, "1 m 1 s"},
        {4294967295u, "1193046 h 28 m"},
    };
    for (auto [seconds, text] : cases) EXPECT_EQ(formatDuration(seconds), text) << seconds;
}

TEST(CoreInfo, HasTheReleaseVersionAndTimingConstants) {
    EXPECT_STREQ(DHCPCoreInfo::version, "0.2.1");
    EXPECT_EQ(Timing::offerHold, 60);
    EXPECT_EQ(Timing::quarantine, 600);
    EXPECT_EQ(Timing::maxProbesPerPacket, 5);
}
