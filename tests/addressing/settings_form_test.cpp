#include "core/addressing/settings_form.hpp"

#include <gtest/gtest.h>

#include "core/addressing/pin_text.hpp"
#include "core/addressing/user_option_text.hpp"

using namespace anvil;
using Field = SettingsForm::Field;

namespace {

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }

ServerConfig bench() { return {ip("192.168.0.1"), 24, ip("192.168.0.100"), ip("192.168.0.200"), 86400, {}, {}, std::nullopt}; }

}  // namespace

TEST(SettingsForm, OpensAConfigurationAsTextsAndReadsItBack) {
    auto config = bench();
    config.router = ip("192.168.0.254");
    config.dns = {ip("1.1.1.1"), ip("8.8.8.8")};
    auto form = SettingsForm::from(config);
    EXPECT_EQ(form.serverIP, "192.168.0.1");
    EXPECT_EQ(form.prefix, "24");
    EXPECT_EQ(form.leasePreset, LeasePreset::oneDay);
    EXPECT_EQ(form.router, "192.168.0.254");
    EXPECT_EQ(form.dns, "1.1.1.1, 8.8.8.8");
    EXPECT_EQ(form.rangeCount(), 101);
    EXPECT_EQ(form.config(), config);
    EXPECT_TRUE(form.errors().empty());

    config.pins = {Pin{MACAddress::parse("aa:bb:cc:00:00:01"), std::nullopt, ip("192.168.0.50"), "board"}};
    config.answerBOOTP = false;
    form = SettingsForm::from(config);
    EXPECT_EQ(form.pins, (std::vector<SettingsForm::PinRow>{{"aa:bb:cc:00:00:01", "192.168.0.50", "board"}}));
    EXPECT_EQ(form.config(), config);
    config.pins.clear();
    config.answerBOOTP = true;

    config.leaseSeconds = 7200;
    form = SettingsForm::from(config);
    EXPECT_EQ(form.leasePreset, LeasePreset::custom);
    EXPECT_EQ(form.customLease, "7200s");
    EXPECT_EQ(form.leaseSeconds(), 7200u);
    form.customLease = "  90m ";
    EXPECT_EQ(form.leaseSeconds(), 5400u);
}

TEST(SettingsForm, TrimsBlanksAndDropsEmptyDNSPieces) {
    auto form = SettingsForm::from(bench());
    form.serverIP = "  192.168.0.1 ";
    form.prefix = " +24";
    form.dns = "1.1.1.1, ,, 8.8.8.8 ,";
    form.router = "   ";
    auto config = form.config();
    ASSERT_TRUE(config);
    EXPECT_EQ(config->dns, (std::vector<IPv4Address>{ip("1.1.1.1"), ip("8.8.8.8")}));
    EXPECT_EQ(config->router, std::nullopt);
}

TEST(SettingsForm, GivesOneMessagePerBadFieldAllTogether) {
    SettingsForm form = SettingsForm::from(bench());
    form.serverIP = "192.168.0";
    form.prefix = "twenty";
    form.rangeEnd = "x";
    form.leasePreset = LeasePreset::custom;
    form.customLease = "1h30m";
    form.router = "gw";
    form.dns = "1.1.1.1, dns";
    auto evaluation = form.evaluate();
    EXPECT_EQ(evaluation.config, std::nullopt);
    EXPECT_EQ(evaluation.errors.at(Field::server), (std::vector<std::string>{"Server IP must look like 192.168.0.1.",
                                                                             "Prefix must be a number such as 24."}));
    EXPECT_EQ(evaluation.errors.at(Field::range), std::vector<std::string>{"Range must be two IPv4 addresses."});
    EXPECT_EQ(evaluation.errors.at(Field::lease),
              std::vector<std::string>{"Lease time must look like 90m, 24h or 7d."});
    EXPECT_EQ(evaluation.errors.at(Field::gateway),
              std::vector<std::string>{"Gateway must be an IPv4 address, or empty for off."});
    EXPECT_EQ(evaluation.errors.at(Field::dns),
              std::vector<std::string>{"DNS must be IPv4 addresses separated by commas, or empty for off."});
}

TEST(SettingsForm, PutsValidationMessagesUnderTheirFields) {
    auto form = SettingsForm::from(bench());
    form.rangeStart = "192.168.0.200";
    form.rangeEnd = "192.168.0.100";
    EXPECT_EQ(form.rangeCount(), std::nullopt);
    EXPECT_EQ(form.errors().at(Field::range), std::vector<std::string>{"Range start must not be after range end."});

    form = SettingsForm::from(bench());
    form.prefix = "31";
    EXPECT_EQ(form.errors().at(Field::server), std::vector<std::string>{"Prefix /31 is not allowed. Use /8 to /30."});

    form = SettingsForm::from(bench());
    form.serverIP = "192.168.0.150";
    form.router = "10.0.0.1";
    form.leasePreset = LeasePreset::custom;
    form.customLease = "30s";
    form.dns = "1.1.1.1,1.1.1.2,1.1.1.3,1.1.1.4";
    auto errors = form.errors();
    EXPECT_EQ(errors.at(Field::server), std::vector<std::string>{"Server IP must not be inside the range."});
    EXPECT_EQ(errors.at(Field::gateway), std::vector<std::string>{"Gateway must be inside 192.168.0.0/24."});
    EXPECT_EQ(errors.at(Field::lease), std::vector<std::string>{"Lease time must be between 1 minute and 30 days."});
    EXPECT_EQ(errors.at(Field::dns), std::vector<std::string>{"Use at most 3 DNS servers."});
    EXPECT_EQ(form.config(), std::nullopt);
}

TEST(LeasePreset, HasLabelsSecondsAndRawValuesInOrder) {
    const char* labels[] = {"1 h", "8 h", "24 h", "7 d", "Custom"};
    const char* raws[] = {"oneHour", "eightHours", "oneDay", "sevenDays", "custom"};
    for (int index = 0; index < 5; ++index) {
        EXPECT_EQ(label(allLeasePresets[index]), labels[index]);
        EXPECT_EQ(leasePresetFromRaw(raws[index]), allLeasePresets[index]);
    }
    EXPECT_EQ(presetSeconds(LeasePreset::eightHours), 28800u);
    EXPECT_EQ(presetSeconds(LeasePreset::custom), std::nullopt);
    EXPECT_EQ(leasePresetFromRaw("OneHour"), std::nullopt);
}

TEST(SettingsForm, NetworkBootOpensReadsBackAndIsOnlyCheckedWhenOn) {
    auto config = bench();
    config.boot = BootConfig{"/srv/boot", "ipxe.efi", {{BootKind::rpi, "bootcode.bin"}}, 4096};
    auto form = SettingsForm::from(config);
    EXPECT_TRUE(form.bootEnabled);
    EXPECT_EQ(form.bootFolder, "/srv/boot");
    EXPECT_EQ(form.bootFileForAll, "ipxe.efi");
    EXPECT_EQ(form.config(), config) << "the ceiling, not on the form, is kept";

    // Off keeps what was typed but serves nothing, and nothing typed there can block saving.
    form.bootEnabled = false;
    form.bootFolder = "relative";
    EXPECT_TRUE(form.errors().empty());
    EXPECT_EQ(form.config()->boot, std::nullopt);

    // Blanks are trimmed and empty per-kind names mean "use the name for all".
    form = SettingsForm::from(bench());
    form.bootEnabled = true;
    form.bootFolder = "  /srv/boot ";
    form.bootFileForAll = "   ";
    form.bootFiles = {{BootKind::bios, " undionly.kpxe "}, {BootKind::efiX64, ""}};
    ASSERT_TRUE(form.errors().empty());
    EXPECT_EQ(form.config()->boot,
              (BootConfig{"/srv/boot", std::nullopt, {{BootKind::bios, "undionly.kpxe"}}, defaultBlockSizeCeiling}));
}

TEST(SettingsForm, NetworkBootProblemsAreListedUnderBootTogether) {
    struct Case {
        const char* what;
        std::string folder;
        std::string forAll;
        std::map<BootKind, std::string> files;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"no folder", "", "", {}, {"Choose the folder to serve boot files from."}},
        {"a relative folder", "tftp", "", {}, {"The boot folder must be a full path, starting with /."}},
        {"a control byte in the folder", "/srv/\x1b", "", {}, {"The boot folder's path has a control character in it."}},
        {"every problem at once", "", std::string(128, 'x'), {{BootKind::uboot, "a\tb"}},
         {"Choose the folder to serve boot files from.", "For all: A boot file name can be at most 127 bytes long.",
          "uboot: A boot file name cannot hold control characters."}},
    };
    for (const auto& sample : cases) {
        auto form = SettingsForm::from(bench());
        form.bootEnabled = true;
        form.bootFolder = sample.folder;
        form.bootFileForAll = sample.forAll;
        form.bootFiles = sample.files;
        auto evaluation = form.evaluate();
        EXPECT_FALSE(evaluation.config) << sample.what;
        ASSERT_EQ(evaluation.errors.size(), 1u) << sample.what;
        EXPECT_EQ(evaluation.errors[Field::boot], sample.messages) << sample.what;
    }
}

// Each row's message lands beside that row, by its place in the table, blank rows included.
TEST(SettingsForm, PinAndOptionRowsAreReadAndTheirMessagesStayBesideThem) {
    using Rows = std::map<std::size_t, std::vector<std::string>>;
    const SettingsForm::PinRow good{" aa:bb:cc:00:00:01 ", "192.168.0.50", "board"};
    struct Sample {
        const char* what;
        std::vector<SettingsForm::PinRow> pins;
        std::vector<SettingsForm::OptionRow> options;
        std::string serverIP = "192.168.0.1";
        Rows pinErrors = {};
        Rows optionErrors = {};
        std::size_t pinsKept = 0;
    };
    Sample samples[] = {
        {"a blank row is not there", {{" ", "", ""}, good}, {{"", " ", ""}}, "192.168.0.1", {}, {}, 1},
        {"a device that does not read, beside a bad field",
         {{"", "", ""}, {"board", "192.168.0.50", ""}},
         {},
         "192.168.0",
         {{1, {readPin("board", "192.168.0.50", "").error}}}},
        // No user option may carry the message type, with any reader.
        {"an option the reader refuses", {}, {{"", "53", "1", false}}, "192.168.0.1", {},
         {{0, {readUserOption("", "53", "1", false).error}}}},
    };
    for (const auto& sample : samples) {
        auto form = SettingsForm::from(bench());
        form.serverIP = sample.serverIP;
        form.pins = sample.pins;
        form.options = sample.options;
        auto evaluation = form.evaluate();
        EXPECT_EQ(evaluation.pinErrors, sample.pinErrors) << sample.what;
        EXPECT_EQ(evaluation.optionErrors, sample.optionErrors) << sample.what;
        EXPECT_EQ(evaluation.errors.count(Field::server), sample.serverIP == "192.168.0.1" ? 0u : 1u) << sample.what;
        EXPECT_EQ(evaluation.config.has_value(), evaluation.messages().empty()) << sample.what;
        if (evaluation.config) {
            EXPECT_EQ(evaluation.config->pins.size(), sample.pinsKept) << sample.what;
        }
    }
}

// A configuration error a row causes is shown beside each row it goes away without.
TEST(SettingsForm, AConfigurationErrorOfTwoPinsIsShownBesideBoth) {
    auto config = bench();
    Pin pin{MACAddress::parse("aa:bb:cc:00:00:01"), std::nullopt, ip("192.168.0.50"), ""};
    config.pins = {pin, pin};
    if (config.validate().empty()) GTEST_SKIP() << "needs the pins' validation";
    auto form = SettingsForm::from(bench());
    form.pins = {{"", "", ""}, {"aa:bb:cc:00:00:01", "192.168.0.50", ""}, {"aa:bb:cc:00:00:01", "192.168.0.50", ""}};
    auto evaluation = form.evaluate();
    EXPECT_FALSE(evaluation.config);
    EXPECT_TRUE(evaluation.errors.empty());
    ASSERT_EQ(evaluation.pinErrors.size(), 2u);
    EXPECT_EQ(evaluation.pinErrors.at(1), evaluation.pinErrors.at(2));
    EXPECT_FALSE(evaluation.pinErrors.at(1).empty());
}
