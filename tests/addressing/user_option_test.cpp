// User options as typed: values by the option's format, the [MATCH:]CODE=VALUE grammar, presets,
// and the checks before serving.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "core/addressing/decoding_error.hpp"
#include "core/addressing/option_value.hpp"
#include "core/addressing/server_config.hpp"
#include "core/addressing/server_config_json.hpp"
#include "core/addressing/user_option_text.hpp"

using namespace anvil;
using Kind = OptionMatch::Kind;

namespace {

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }

ServerConfig usable() { return {ip("192.168.0.1"), 24, ip("192.168.0.100"), ip("192.168.0.200"), 86400, {}, {}, std::nullopt}; }

}  // namespace

TEST(OptionValue, ReadsEachKnownFormatAndRefusesTheWrongKind) {
    struct Case {
        std::uint8_t code;
        const char* text;
        std::optional<Bytes> data;
        const char* error;  // a piece of the sentence when refused
    };
    const Case cases[] = {
        {42, "10.0.0.1, 10.0.0.2", Bytes{10, 0, 0, 1, 10, 0, 0, 2}, ""},
        {42, "ntp.lab", std::nullopt, "takes addresses"},
        {16, "10.0.0.1, 10.0.0.2", std::nullopt, "takes one address"},
        {17, "/srv/root", Bytes{'/', 's', 'r', 'v', '/', 'r', 'o', 'o', 't'}, ""},
        {15, "lab.example", Bytes{'l', 'a', 'b', '.', 'e', 'x', 'a', 'm', 'p', 'l', 'e'}, ""},
        {15, "192.168.0.1", std::nullopt, "not an address"},
        {23, "64", Bytes{64}, ""},
        {23, "256", std::nullopt, "0 to 255"},
        {26, "1500", Bytes{0x05, 0xdc}, ""},
        {2, "-3600", Bytes{0xff, 0xff, 0xf1, 0xf0}, ""},
        {24, "15m", Bytes{0, 0, 0x03, 0x84}, ""},
        {19, "on", Bytes{1}, ""},
        {19, "maybe", std::nullopt, "on or off"},
        {119, "lab.example, example", Bytes{3, 'l', 'a', 'b', 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0, 7, 'e', 'x', 'a', 'm', 'p', 'l', 'e', 0}, ""},
        {43, "01:04:31:41:50:43", Bytes{1, 4, '1', 'A', 'P', 'C'}, ""},
        {224, "0x0102", Bytes{1, 2}, ""},
        {224, "hello", std::nullopt, "hexadecimal bytes"},
        // Hexadecimal stands for any option, but must have the format's layout.
        {42, "0x0a000001", Bytes{10, 0, 0, 1}, ""},
        {42, "0x0a0000", std::nullopt, "takes addresses"},
    };
    for (const auto& c : cases) {
        auto reading = readOptionValue(c.code, c.text);
        EXPECT_EQ(reading.data, c.data) << int(c.code) << " " << c.text;
        if (!c.data) {
            EXPECT_NE(reading.error.find(c.error), std::string::npos) << int(c.code) << " " << c.text << ": " << reading.error;
        } else {
            // What is shown reads back as the same bytes.
            EXPECT_EQ(readOptionValue(c.code, optionValueText(c.code, *c.data)).data, c.data) << int(c.code) << " " << c.text;
        }
    }
}

TEST(UserOptionText, ReadsTheMatchCodeAndValueOfAnArgument) {
    struct Case {
        const char* text;
        std::optional<UserOption> option;
        const char* error;
    };
    const Case cases[] = {
        {"42=10.0.0.1", UserOption{{}, 42, {10, 0, 0, 1}, false}, ""},
        {"all:ntp servers=10.0.0.1", UserOption{{}, 42, {10, 0, 0, 1}, false}, ""},
        {"vendor=APC:43=01:04:31:41:50:43", UserOption{{Kind::vendorClass, "APC"}, 43, {1, 4, '1', 'A', 'P', 'C'}, false}, ""},
        {"mac=02:00:00:AA:BB:CC:7=10.0.0.9", UserOption{{Kind::device, "02:00:00:aa:bb:cc"}, 7, {10, 0, 0, 9}, false}, ""},
        {"maker=00:C0:B7:42=10.0.0.1", UserOption{{Kind::maker, "00:c0:b7"}, 42, {10, 0, 0, 1}, false}, ""},
        {"user=iPXE:17=/root", UserOption{{Kind::userClass, "iPXE"}, 17, {'/', 'r', 'o', 'o', 't'}, false}, ""},
        {"boot=uboot:17=/root", UserOption{{Kind::bootKind, "uboot"}, 17, {'/', 'r', 'o', 'o', 't'}, false}, ""},
        {"boot=amiga:17=/root", std::nullopt, "boot= takes a boot kind"},
        {"maker=00:c0:42=10.0.0.1", std::nullopt, "maker= takes the first three bytes"},
        {"53=1", std::nullopt, "is set by the server itself"},
        {"54=192.168.0.1", std::nullopt, "is set by the server itself"},
        {"255=01", std::nullopt, "marks the end of the options"},
        {"300=01", std::nullopt, "Option numbers run from 1 to 254."},
        {"frobnicate=1", std::nullopt, "No option is called \"frobnicate\""},
        {"42", std::nullopt, "[MATCH:]CODE=VALUE"},
    };
    for (const auto& c : cases) {
        auto reading = readUserOptionArgument(c.text, false);
        EXPECT_EQ(reading.option, c.option) << c.text << ": " << reading.error;
        if (!c.option) {
            EXPECT_NE(reading.error.find(c.error), std::string::npos) << c.text << ": " << reading.error;
        } else {
            // Shown in the settings and read again, it is the same option.
            auto again = readUserOption(matchText(c.option->match), optionText(c.option->code), valueText(*c.option), false);
            EXPECT_EQ(again.option, c.option) << c.text << ": " << again.error;
        }
    }
}

TEST(UserOptionText, PresetsFillTheirOptionsOrSayWhatTheyNeed) {
    const auto server = ip("192.168.0.1");
    struct Case {
        const char* name;
        const char* value;
        std::vector<UserOption> options;
        const char* error;
    };
    const Case cases[] = {
        {"APC management card", "", {{{Kind::vendorClass, "APC"}, 43, {1, 4, '1', 'A', 'P', 'C'}, true}}, ""},
        {"ntp-server", "", {{{}, 42, {192, 168, 0, 1}, false}}, ""},
        {"Log server", "", {{{}, 7, {192, 168, 0, 1}, false}}, ""},
        {"unifi", "10.0.0.5", {{{Kind::vendorClass, "ubnt"}, 43, {1, 4, 10, 0, 0, 5}, true}}, ""},
        {"Cisco IP phones", "10.0.0.6", {{{Kind::vendorClass, "Cisco Systems, Inc. IP Phone"}, 150, {10, 0, 0, 6}, false}}, ""},
        {"Polycom phones", "tftp://10.0.0.7",
         {{{Kind::vendorClass, "Polycom"}, 66, Bytes{'t', 'f', 't', 'p', ':', '/', '/', '1', '0', '.', '0', '.', '0', '.', '7'}, false},
          {{Kind::vendorClass, "Polycom"}, 160, Bytes{'t', 'f', 't', 'p', ':', '/', '/', '1', '0', '.', '0', '.', '0', '.', '7'}, false}},
         ""},
        {"unifi", "", {}, "needs the controller address"},
        {"unifi", "controller", {}, "takes the controller's address"},
        {"NTP server", "10.0.0.1", {}, "takes no value"},
        {"toaster", "", {}, "No preset is called \"toaster\""},
    };
    for (const auto& c : cases) {
        auto reading = applyPreset(c.name, c.value, server);
        EXPECT_EQ(reading.options, c.options) << c.name << ": " << reading.error;
        if (c.options.empty()) {
            EXPECT_NE(reading.error.find(c.error), std::string::npos) << c.name << ": " << reading.error;
        }
    }
    EXPECT_EQ(optionPresets().size(), 6u);
}

TEST(UserOptionValidation, RefusesWhatTheServerOwnsAndTheSameCodeAndMatchTwice) {
    const UserOption ntp{{}, 42, {10, 0, 0, 1}, false};
    struct Case {
        const char* name;
        std::vector<UserOption> options;
        bool router;
        std::vector<std::string> errors;
    };
    const Case cases[] = {
        {"fine", {ntp, {{Kind::vendorClass, "APC"}, 42, {10, 0, 0, 2}, false}}, false, {}},
        {"53", {{{}, 53, {5}, false}}, false, {"Option 53 (DHCP Message Type) is set by the server itself."}},
        {"54", {{{}, 54, {192, 168, 0, 1}, false}}, false, {"Option 54 (Server Identifier) is set by the server itself."}},
        {"3 with a router", {{{}, 3, {192, 168, 0, 2}, false}}, true, {"Option 3 (Router) is set by the router setting."}},
        {"3 without one", {{{}, 3, {192, 168, 0, 2}, false}}, false, {}},
        {"same code and match", {ntp, ntp}, false, {"Option 42 for every device is set twice."}},
        {"bytes the format cannot hold", {{{}, 42, {10, 0, 0}, false}}, false,
         {"Option 42 (NTP Servers) takes addresses such as 192.168.0.10, separated by commas."}},
    };
    for (const auto& c : cases) {
        auto config = usable();
        config.userOptions = c.options;
        if (c.router) config.router = ip("192.168.0.254");
        std::vector<std::string> errors;
        for (const auto& error : config.validate()) errors.push_back(error.description());
        EXPECT_EQ(errors, c.errors) << c.name;
    }
}

TEST(UserOptionJSON, RoundTripsAndRefusesWhatTheFormWould) {
    auto config = usable();
    config.userOptions = {{{Kind::vendorClass, "APC"}, 43, {1, 4, '1', 'A', 'P', 'C'}, true}, {{}, 42, {10, 0, 0, 1}, false}};
    nlohmann::json json = config;
    EXPECT_EQ(json["userOptions"][0],
              (nlohmann::json{{"match", "vendor=APC"}, {"code", 43}, {"value", "01:04:31:41:50:43"}, {"always", true}}));
    EXPECT_EQ(json.get<ServerConfig>(), config);
    EXPECT_FALSE(nlohmann::json(usable()).contains("userOptions"));
    for (const char* bad : {R"("42=10.0.0.1")", R"([{"match": "all", "code": 53, "value": "1"}])",
                            R"([{"match": "all", "code": 42, "value": "ntp.lab"}])", R"([{"match": "all", "code": "42", "value": "10.0.0.1"}])",
                            R"([{"match": "all", "code": 42, "value": "10.0.0.1", "always": "yes"}])",
                            R"([{"match": "all", "code": 42, "value": "10.0.0.1", "when": 1}])"}) {
        auto broken = json;
        broken["userOptions"] = nlohmann::json::parse(bad);
        EXPECT_THROW((void)broken.get<ServerConfig>(), DecodingError) << bad;
    }
}
