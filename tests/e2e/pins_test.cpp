// Real clients get their pinned address from `dhcpanvil serve` on a veth card, whatever the lease
// file and the range say: busybox udhcpc, and dhcpcd, which sends a DUID as its client identifier.
#include <gtest/gtest.h>

#include "tests/e2e/field_bench.hpp"

namespace anvil::field {
namespace {

TEST(Pins, udhcpcAndDhcpcdGetTheirPinnedAddressAfterTheLeasesAndRangeChanged) {
    if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
    for (const char* program : {"/bin/busybox", "/usr/sbin/dhcpcd"})
        if (::access(program, X_OK) != 0) GTEST_SKIP() << program << " is missing; run scripts/install-deps.sh as root";
    TempFolder temp;
    Namespaces bench;
    if (!bench.error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench.error;
    writeFile(temp / "udhcpc.sh", udhcpcAddressScript, true);
    // A DUID, and nothing of the host's own configuration touched.
    writeFile(temp / "dhcpcd.conf", "duid\nnoipv4ll\noption subnet_mask\n");
    auto serve = [&](const std::string& range, const std::vector<std::string>& extra) {
        std::vector<std::string> command{ANVIL_DHCPANVIL_PATH, "serve",   "--iface", bench.card, "--server",
                                         "10.66.0.1/24",       "--range", range,     "--leases", temp / "leases.json"};
        command.insert(command.end(), extra.begin(), extra.end());
        auto server = std::make_unique<Child>(
            bench.serverNS, command,
            std::vector<std::string>{"HOME=" + temp.path.string(), "XDG_STATE_HOME=" + (temp / "state"),
                                     "XDG_DATA_HOME=" + (temp / "data")});
        EXPECT_GE(server->waitForLine("START", 10s), 0) << server->output();
        return server;
    };
    auto udhcpc = [&] {
        return std::make_unique<Child>(
            bench.clientNS, std::vector<std::string>{"/bin/busybox", "udhcpc", "-f", "-q", "-i", "cli0", "-s",
                                                     temp / "udhcpc.sh", "-t", "10", "-T", "1", "-A", "1"});
    };

    // History first: without a pin the device is given the start of the range.
    auto server = serve("10.66.0.100-10.66.0.110", {});
    auto client = udhcpc();
    ASSERT_GE(client->waitForLine("udhcpc-event bound 10.66.0.100", 15s), 0) << client->output();
    client.reset();
    server.reset();

    std::filesystem::remove(temp / "leases.json");
    writeFile(temp / "pins", "# the bench\n" + bench.clientMAC + " 10.66.0.50 bench board\n");
    server = serve("10.66.0.130-10.66.0.140", {"--pins", temp / "pins"});
    client = udhcpc();
    EXPECT_GE(client->waitForLine("udhcpc-event bound 10.66.0.50", 15s), 0) << client->output();
    EXPECT_GE(server->waitForLine("pinned: bench board", 2s), 0) << server->output();
    client.reset();

    auto dhcpcd = std::make_unique<Child>(
        bench.clientNS, std::vector<std::string>{"/usr/sbin/dhcpcd", "-f", temp / "dhcpcd.conf", "-c", "/bin/true",
                                                 "-B", "-1", "-4", "-d", "-t", "20", "cli0"});
    EXPECT_GE(dhcpcd->waitForLine("leased 10.66.0.50", 20s), 0) << dhcpcd->output() << server->output();
    dhcpcd.reset();
}

}  // namespace
}  // namespace anvil::field
