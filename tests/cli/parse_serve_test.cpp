#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "cli/cli_error.hpp"
#include "cli/serve_options.hpp"

using namespace anvil;

namespace {

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }

std::string failure(const std::vector<std::string>& arguments) {
    try {
        parseServe(arguments);
    } catch (const CLIError& error) {
        EXPECT_TRUE(error.isUsage);
        return error.description();
    }
    return "(parsed)";
}

}  // namespace

TEST(ParseServe, LoopbackAloneKeepsEveryDefault) {
    auto options = parseServe({"--test-loopback", "--json"});
    EXPECT_TRUE(options.loopback);
    EXPECT_TRUE(options.json);
    EXPECT_EQ(options.port, 6767);
    EXPECT_EQ(options.clientPort, 6868);
    EXPECT_EQ(options.interface, std::nullopt);
    EXPECT_EQ(options.leasePath, std::nullopt);
    EXPECT_EQ(options.config, defaultServerConfig());
    EXPECT_EQ(options.config.serverIP, ip("192.168.0.1"));
    EXPECT_EQ(options.config.leaseSeconds, 86400u);
}

TEST(ParseServe, StoresEveryOptionAndTheLastOneWins) {
    auto options =
        parseServe({"--iface",  "en7",         "--server", "10.0.0.5/8", "--range",       "10.0.0.20-10.0.0.10",
                    "--lease",  "15m",         "--router", "10.0.0.1",   "--dns",         "10.0.0.1,,10.0.0.2",
                    "--leases", "/tmp/l.json", "--port",   "+80",        "--client-port", "0",
                    "--dns",    "1.1.1.1",     "--iface",  "en8"});
    EXPECT_EQ(options.interface, "en8");
    EXPECT_EQ(options.config.serverIP, ip("10.0.0.5"));
    EXPECT_EQ(options.config.prefixLength, 8);
    EXPECT_EQ(options.config.rangeStart, ip("10.0.0.20"));
    EXPECT_EQ(options.config.rangeEnd, ip("10.0.0.10"));
    EXPECT_EQ(options.config.leaseSeconds, 900u);
    EXPECT_EQ(options.config.router, ip("10.0.0.1"));
    EXPECT_EQ(options.config.dns, std::vector<IPv4Address>{ip("1.1.1.1")});
    EXPECT_EQ(options.leasePath, "/tmp/l.json");
    EXPECT_EQ(options.port, 80);
    EXPECT_EQ(options.clientPort, 0);
    EXPECT_FALSE(options.loopback);

    EXPECT_EQ(parseServe({"--iface", "en0", "--dns", "10.0.0.1,,10.0.0.2"}).config.dns,
              (std::vector<IPv4Address>{ip("10.0.0.1"), ip("10.0.0.2")}));
    EXPECT_TRUE(parseServe({"--iface", "en0", "--dns", ""}).config.dns.empty());
    auto server = parseServe({"--iface", "en0", "--server", "10.0.0.5/8"});
    EXPECT_EQ(server.config.rangeStart, ip("192.168.0.100"));
}

TEST(ParseServe, AValueIsTakenWhateverItLooksLike) {
    auto options = parseServe({"--iface", "--json"});
    EXPECT_EQ(options.interface, "--json");
    EXPECT_FALSE(options.json);
    EXPECT_EQ(parseServe({"--iface", ""}).interface, "");
}

TEST(ParseServe, ReportsTheFirstProblemInItsOwnWords) {
    const std::pair<std::vector<std::string>, const char*> cases[] = {
        {{}, "serve needs --iface <bsd> or --test-loopback"},
        {{"--json"}, "serve needs --iface <bsd> or --test-loopback"},
        {{"--iface"}, "--iface needs a value"},
        {{"--test-loopback", "--leases"}, "--leases needs a value"},
        {{"--test-loopback", "--port"}, "--port needs a value"},
        {{"--test-loopback", "-json"}, "unknown option -json"},
        {{"--test-loopback", "--Json"}, "unknown option --Json"},
        {{"--test-loopback", "--port", "70000"}, "--port must be a port number"},
        {{"--test-loopback", "--port", ""}, "--port must be a port number"},
        {{"--test-loopback", "--port", "-1"}, "--port must be a port number"},
        {{"--test-loopback", "--port", "8 0"}, "--port must be a port number"},
        {{"--test-loopback", "--client-port", "x"}, "--client-port must be a port number"},
        {{"--test-loopback", "--server", "10.0.0.5/33"}, "--server must look like 192.168.0.1/24"},
        {{"--test-loopback", "--server", "10.0.0.5"}, "--server must look like 192.168.0.1/24"},
        {{"--test-loopback", "--range", "10.0.0.1"}, "--range must look like 192.168.0.100-192.168.0.200"},
        {{"--test-loopback", "--range", "10.0.0.1-10.0.0.2-10.0.0.3"},
         "--range must look like 192.168.0.100-192.168.0.200"},
        {{"--test-loopback", "--range", "10.0.0.1 -10.0.0.2"}, "--range must look like 192.168.0.100-192.168.0.200"},
        {{"--test-loopback", "--lease", "1h30m"}, "--lease must look like 90s, 15m, 24h or 7d"},
        {{"--test-loopback", "--router", "gateway"}, "--router must be an IPv4 address"},
        {{"--test-loopback", "--dns", "10.0.0.1, 10.0.0.2"}, "--dns must be IPv4 addresses separated by commas"},
        {{"--test-loopback", "--port", "99999", "--bogus"}, "--port must be a port number"},
    };
    for (const auto& [arguments, message] : cases) EXPECT_EQ(failure(arguments), message);
}

TEST(ParseServe, AcceptsAReversedRangeForValidationToJudge) {
    auto options = parseServe({"--test-loopback", "--range", "192.168.0.200-192.168.0.100"});
    EXPECT_EQ(options.config.rangeStart, ip("192.168.0.200"));
    ASSERT_EQ(options.config.validate().size(), 1u);
    EXPECT_EQ(options.config.validate()[0].kind, ConfigError::Kind::rangeReversed);
}

namespace {

// A boot folder that exists for the length of one test, with a file beside it that is not a folder.
struct BootFolder {
    std::filesystem::path root;
    BootFolder() {
        root = std::filesystem::temp_directory_path() / ("anvil-boot-" + std::to_string(::getpid()));
        std::filesystem::create_directories(root / "tftp");
        std::ofstream(root / "plain") << "x";
    }
    ~BootFolder() { std::filesystem::remove_all(root); }
    std::string folder() const { return (root / "tftp").string(); }
};

}  // namespace

TEST(ParseServe, BootFlagsFillTheBootConfiguration) {
    BootFolder place;
    const std::string kinds = "bios, efi-x64, efi-arm64, arm32, arm64, uboot, ipxe, rpi";
    struct Case {
        const char* name;
        std::vector<std::string> arguments;
        std::optional<std::string> fileForAll;
        std::map<BootKind, std::string> files;
        std::uint16_t ceiling;
    };
    const Case cases[] = {
        {"folder alone", {"--boot", place.folder()}, std::nullopt, {}, 1468},
        {"one name for all", {"--boot-file", "pxelinux.0", "--boot", place.folder()}, "pxelinux.0", {}, 1468},
        {"names per kind",
         {"--boot", place.folder(), "--boot-file", "bios=undionly.kpxe,efi-x64=ipxe.efi,ipxe=boot.ipxe"},
         std::nullopt,
         {{BootKind::bios, "undionly.kpxe"}, {BootKind::efiX64, "ipxe.efi"}, {BootKind::ipxe, "boot.ipxe"}},
         1468},
        {"both forms and a subfolder",
         {"--boot", place.folder(), "--boot-file", "grub.efi", "--boot-file", "efi-arm64=arm/grub.efi"},
         "grub.efi",
         {{BootKind::efiArm64, "arm/grub.efi"}},
         1468},
        {"dots inside a name", {"--boot", place.folder(), "--boot-file", "a..b/..c"}, "a..b/..c", {}, 1468},
        {"127-byte name", {"--boot", place.folder(), "--boot-file", std::string(127, 'n')}, std::string(127, 'n'), {},
         1468},
        {"ceiling bounds", {"--boot", place.folder(), "--tftp-blksize-max", "512"}, std::nullopt, {}, 512},
        {"ceiling top", {"--boot", place.folder(), "--tftp-blksize-max", "65464"}, std::nullopt, {}, 65464},
    };
    for (const auto& c : cases) {
        auto arguments = c.arguments;
        arguments.push_back("--test-loopback");
        auto options = parseServe(arguments);
        ASSERT_TRUE(options.config.boot.has_value()) << c.name;
        EXPECT_EQ(options.config.boot->folder, place.folder()) << c.name;
        EXPECT_EQ(options.config.boot->fileForAll, c.fileForAll) << c.name;
        EXPECT_EQ(options.config.boot->files, c.files) << c.name;
        EXPECT_EQ(options.config.boot->blockSizeCeiling, c.ceiling) << c.name;
    }
    EXPECT_EQ(parseServe({"--test-loopback"}).config.boot, std::nullopt);
    // Stored absolute and without a trailing slash, whatever was typed.
    auto relative = std::filesystem::relative(place.folder());
    EXPECT_EQ(parseServe({"--test-loopback", "--boot", relative.string() + "/./"}).config.boot->folder, place.folder());

    const std::pair<std::vector<std::string>, std::string> failures[] = {
        {{"--boot-file", "x"}, "--boot-file and --tftp-blksize-max need --boot <folder>"},
        {{"--tftp-blksize-max", "1468"}, "--boot-file and --tftp-blksize-max need --boot <folder>"},
        {{"--boot"}, "--boot needs a value"},
        {{"--boot", ""}, "--boot needs a folder"},
        {{"--boot", (place.root / "missing").string()}, "--boot: " + (place.root / "missing").string() + " does not exist"},
        {{"--boot", (place.root / "plain").string()}, "--boot: " + (place.root / "plain").string() + " is not a folder"},
        {{"--boot", place.folder(), "--boot-file", ""}, "--boot-file: empty name"},
        {{"--boot", place.folder(), "--boot-file", "bios="}, "--boot-file: empty name for bios"},
        {{"--boot", place.folder(), "--boot-file", "efi=x.efi"}, "--boot-file: unknown kind \"efi\"; kinds are " + kinds},
        {{"--boot", place.folder(), "--boot-file", "BIOS=x"}, "--boot-file: unknown kind \"BIOS\"; kinds are " + kinds},
        {{"--boot", place.folder(), "--boot-file", "bios=a,b"},
         "--boot-file: \"b\" must look like KIND=NAME; kinds are " + kinds},
        {{"--boot", place.folder(), "--boot-file", "bios=a,"},
         "--boot-file: \"\" must look like KIND=NAME; kinds are " + kinds},
        {{"--boot", place.folder(), "--boot-file", "bios=a,bios=b"}, "--boot-file: bios is named twice"},
        {{"--boot", place.folder(), "--boot-file", "../etc/passwd"},
         "--boot-file: the name leaves the boot folder (..)"},
        {{"--boot", place.folder(), "--boot-file", "rpi=boot/../../x"},
         "--boot-file: the name for rpi leaves the boot folder (..)"},
        {{"--boot", place.folder(), "--boot-file", "boot\\..\\x"}, "--boot-file: the name leaves the boot folder (..)"},
        {{"--boot", place.folder(), "--boot-file", std::string(128, 'n')},
         "--boot-file: the name is longer than 127 bytes"},
        {{"--boot", place.folder(), "--boot-file", "a\nb"}, "--boot-file: the name holds a control character"},
        {{"--boot", place.folder(), "--tftp-blksize-max", "511"}, "--tftp-blksize-max must be a number from 512 to 65464"},
        {{"--boot", place.folder(), "--tftp-blksize-max", "65465"},
         "--tftp-blksize-max must be a number from 512 to 65464"},
        {{"--boot", place.folder(), "--tftp-blksize-max", "1e3"}, "--tftp-blksize-max must be a number from 512 to 65464"},
    };
    for (const auto& [arguments, message] : failures) {
        std::vector<std::string> withMode{"--test-loopback"};
        withMode.insert(withMode.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(failure(withMode), message);
    }
}

TEST(ParseServe, WatchIsOnUnlessNoWatchIsGiven) {
    struct Case {
        std::vector<std::string> arguments;
        bool watch;
    };
    const std::vector<Case> cases{
        {{"--iface", "eth0"}, true},
        {{"--iface", "eth0", "--no-watch"}, false},
        {{"--no-watch", "--test-loopback"}, false},
    };
    for (const auto& test : cases) EXPECT_EQ(parseServe(test.arguments).watch, test.watch) << test.arguments.size();
    EXPECT_EQ(failure({"--iface", "eth0", "--no-watch", "yes"}), "unknown option yes");
}

TEST(ParseServe, BOOTPIsAnsweredUnlessNoBOOTPIsGiven) {
    EXPECT_TRUE(parseServe({"--iface", "eth0"}).config.answerBOOTP);
    EXPECT_FALSE(parseServe({"--no-bootp", "--iface", "eth0"}).config.answerBOOTP);
    EXPECT_EQ(failure({"--iface", "eth0", "--no-bootp", "yes"}), "unknown option yes");
}

TEST(ParseWatch, TakesACardAndJSONOnly) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<WatchOptions> parsed;
        std::string error;
    };
    const std::vector<Case> cases{
        {{"--iface", "eth0"}, WatchOptions{"eth0", false}, ""},
        {{"--json", "--iface", "enx 1"}, WatchOptions{"enx 1", true}, ""},
        {{}, std::nullopt, "watch needs --iface <bsd>"},
        {{"--json"}, std::nullopt, "watch needs --iface <bsd>"},
        {{"--iface"}, std::nullopt, "--iface needs a value"},
        {{"--iface", "eth0", "--no-watch"}, std::nullopt, "unknown option --no-watch"},
        {{"--iface", "eth0", "--boot", "/tmp"}, std::nullopt, "unknown option --boot"},
    };
    for (const auto& test : cases) {
        try {
            auto options = parseWatch(test.arguments);
            EXPECT_EQ(std::optional<WatchOptions>(options), test.parsed) << test.error;
        } catch (const CLIError& error) {
            EXPECT_TRUE(error.isUsage);
            EXPECT_EQ(error.description(), test.error);
            EXPECT_EQ(test.parsed, std::nullopt) << test.error;
        }
    }
}

TEST(ParseServe, OptionsKeepTheirOrderAndPresetsNameTheServerGivenAfterThem) {
    auto options = parseServe({"--iface", "eth0", "--option", "preset:ntp-server", "--option-always",
                               "vendor=udhcp:7=10.0.0.9", "--server", "10.0.0.1/24", "--option", "preset:UniFi=10.0.0.5"});
    using Kind = OptionMatch::Kind;
    const std::vector<UserOption> expected{
        {{}, 42, {10, 0, 0, 1}, false},
        {{Kind::vendorClass, "udhcp"}, 7, {10, 0, 0, 9}, true},
        {{Kind::vendorClass, "ubnt"}, 43, {1, 4, 10, 0, 0, 5}, true},
    };
    EXPECT_EQ(options.config.userOptions, expected);
    struct Case {
        std::vector<std::string> arguments;
        std::string error;
    };
    const Case cases[] = {
        {{"--option", "53=5"}, "--option: Option 53 (DHCP Message Type) is set by the server itself."},
        {{"--option-always", "42=ntp.lab"},
         "--option-always: Option 42 (NTP Servers) takes addresses such as 192.168.0.10, separated by commas."},
        {{"--option", "preset:toaster"}, "--option: No preset is called \"toaster\"; presets are APC management card, NTP "
                                         "server, Log server, UniFi, Cisco IP phones, Polycom phones."},
        {{"--option-always", "preset:NTP server"}, "--option-always: a preset says itself whether it is always sent"},
        {{"--option"}, "--option needs a value"},
    };
    for (const auto& c : cases) {
        auto arguments = c.arguments;
        arguments.insert(arguments.begin(), {"--iface", "eth0"});
        EXPECT_EQ(failure(arguments), c.error);
    }
}

TEST(ParseServe, PinsComeFromPinFlagsAndPinsFilesWhoseBadLinesAreAllNamed) {
    auto bad = (std::filesystem::temp_directory_path() / ("anvil-pins-" + std::to_string(getpid()))).string();
    std::ofstream(bad) << "02:00:00:00:00:02 board\n\n02:00:00:00:00:03\n";
    auto options = parseServe({"--iface", "eth0", "--pin", "02:00:00:00:00:01=192.168.0.51,bench board"});
    EXPECT_EQ(options.config.pins, (std::vector<Pin>{Pin{MACAddress::parse("02:00:00:00:00:01"), std::nullopt,
                                                         ip("192.168.0.51"), "bench board"}}));
    EXPECT_EQ(failure({"--iface", "eth0", "--pin", "02:00:00:00:00:01"}),
              "--pin must look like 02:00:00:00:00:01=192.168.0.50[,label]");
    try {
        parseServe({"--iface", "eth0", "--pins", bad});
        ADD_FAILURE() << "parsed";
    } catch (const CLIError& error) {
        EXPECT_EQ(error.description(),
                  bad + ": line 1: \"board\" is a host name; a pin needs an IPv4 address.\n" + bad +
                      ": line 3: A pin is a device and an address, like 02:00:00:00:00:01 192.168.0.50.");
    }
    std::filesystem::remove(bad);
}
