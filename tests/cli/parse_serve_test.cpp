#include <gtest/gtest.h>

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
