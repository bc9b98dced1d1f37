#include <gtest/gtest.h>

#include "cli/usage.hpp"
#include "tool_process.hpp"

namespace {

const std::string usage = std::string(anvil::usageText) + "\n";

}  // namespace

TEST(CommandLine, UsageTextIsFourteenLinesOf958Bytes) {
    EXPECT_EQ(anvil::usageText.size(), 958u);
    EXPECT_EQ(std::count(anvil::usageText.begin(), anvil::usageText.end(), '\n'), 13);
}

TEST(CommandLine, WithoutArgumentsPrintsUsageAndSucceeds) {
    auto run = runTool({});
    EXPECT_EQ(run.out, usage);
    EXPECT_EQ(run.out.size(), 959u);
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(CommandLine, UnknownCommandWordsPrintUsageAndExitTwo) {
    for (const char* word : {"help", "--help", "LIST", "Serve", "-h", "--versio"}) {
        auto run = runTool({word});
        EXPECT_EQ(run.out, usage) << word;
        EXPECT_EQ(run.err, "") << word;
        EXPECT_EQ(run.status, 2) << word;
    }
}

TEST(CommandLine, VersionPrintsTheCoreVersion) {
    auto run = runTool({"--version"});
    EXPECT_EQ(run.out, "dhcpanvil 0.2.1\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(run.status, 0);
}

TEST(CommandLine, ParseErrorsGoToStandardErrorWithUsageAndExitTwo) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"serve"}, "serve needs --iface <bsd> or --test-loopback"},
        {{"serve", "--iface"}, "--iface needs a value"},
        {{"serve", "--test-loopback", "--port", "70000"}, "--port must be a port number"},
        {{"serve", "--test-loopback", "--client-port", ""}, "--client-port must be a port number"},
        {{"serve", "--test-loopback", "--verbose"}, "unknown option --verbose"},
        {{"serve", "--test-loopback", "--server", "10.0.0.5/33"}, "--server must look like 192.168.0.1/24"},
        {{"leases", "--leases"}, "--leases needs a value"},
        {{"leases", "--iface", "en7"}, "unknown option --iface"},
    };
    for (const auto& [arguments, message] : cases) {
        auto run = runTool(arguments);
        EXPECT_EQ(run.out, "") << message;
        EXPECT_EQ(run.err, "dhcpanvil: " + message + "\n\n" + usage);
        EXPECT_EQ(run.status, 2) << message;
    }
}

TEST(CommandLine, InvalidConfigurationIsReportedWholeAndExitsOne) {
    auto run = runTool({"serve", "--test-loopback", "--server", "10.0.0.1/7"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "dhcpanvil: Prefix /7 is not allowed. Use /8 to /30.\n");
    EXPECT_EQ(run.status, 1);

    run = runTool({"serve", "--test-loopback", "--server", "192.168.0.0/24", "--lease", "10s"});
    EXPECT_EQ(run.err,
              "dhcpanvil: Server IP can't be the subnet's network or broadcast address.\n"
              "Lease time must be between 1 minute and 30 days.\n");
    EXPECT_EQ(run.status, 1);
}

TEST(CommandLine, WatchOfAnUnknownCardExitsOneWithServesSentence) {
    auto run = runTool({"watch", "--iface", "no-such-card0"});
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "dhcpanvil: no network card named no-such-card0; run `dhcpanvil list`\n");
    EXPECT_EQ(run.status, 1);
    auto serve = runTool({"serve", "--iface", "no-such-card0"});
    EXPECT_EQ(serve.err, run.err);
}
