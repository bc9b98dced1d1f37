// busybox udhcpc against `dhcpanvil serve --option` on a veth card: each device gets its own options.
#include <gtest/gtest.h>

#include "tests/e2e/field_bench.hpp"

namespace anvil::field {
namespace {

// Prints what the lease carried; the address itself is not needed.
constexpr const char* optionScript = R"(#!/bin/sh
[ "$1" = bound ] && echo "udhcpc-options opt43=[$opt43] ntpsrv=[$ntpsrv]"
exit 0
)";

TEST(UserOptions, udhcpcGetsTheOptionsOfItsVendorClassAndWhatItAsksFor) {
    if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
    TempFolder temp;
    Namespaces bench;
    if (!bench.error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench.error;
    writeFile(temp / "udhcpc.sh", optionScript, true);
    Child server(bench.serverNS,
                 {ANVIL_DHCPANVIL_PATH, "serve", "--iface", bench.card, "--server", "10.66.0.1/24", "--range",
                  "10.66.0.100-10.66.0.120", "--leases", temp / "leases.json", "--json", "--option",
                  "preset:APC management card", "--option", "preset:ntp-server"},
                 {"HOME=" + temp.path.string(), "XDG_STATE_HOME=" + (temp / "state"), "XDG_DATA_HOME=" + (temp / "data")});
    ASSERT_GE(server.waitForLine(R"("event":"started")", 10s), 0) << server.output();

    struct Case {
        std::vector<std::string> flags;
        std::string line;
    };
    const Case cases[] = {
        // -o: no option 55 beyond what -O adds, so 42 goes only when asked.
        {{"-o", "-V", "APC"}, "udhcpc-options opt43=[010431415043] ntpsrv=[]"},
        {{"-o", "-V", "MikroTik"}, "udhcpc-options opt43=[] ntpsrv=[]"},
        {{"-o", "-O", "ntpsrv"}, "udhcpc-options opt43=[] ntpsrv=[10.66.0.1]"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> command{"/bin/busybox", "udhcpc", "-f", "-q", "-n", "-i", "cli0", "-s", temp / "udhcpc.sh"};
        command.insert(command.end(), c.flags.begin(), c.flags.end());
        Child client(bench.clientNS, command);
        EXPECT_GE(client.waitForLine(c.line, 15s), 0) << c.flags[2] << "\n" << client.output() << server.output();
    }
    EXPECT_GE(server.waitForLine("option 43 for vendor class APC", 2s), 0) << server.output();
}

}  // namespace
}  // namespace anvil::field
