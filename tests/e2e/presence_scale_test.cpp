// dhcpanvil serving a range whose 500 addresses are all held by bound leases of devices that are
// gone: the sweep, a newcomer that needs an address reclaimed, and Ctrl-C while probes are out.
#include <gtest/gtest.h>

#include <cstdio>

#include "core/leases/lease_file.hpp"
#include "tests/e2e/field_bench.hpp"

namespace anvil::field {
namespace {

constexpr std::uint32_t leaseCount = 500;

constexpr const char* udhcpcScript = R"(#!/bin/sh
echo "udhcpc-event $1 $ip"
)";

// Milliseconds since midnight from a line's "HH:MM:SS.mmm" stamp.
long stampOf(const std::string& line) {
    int hours = 0, minutes = 0, seconds = 0, milliseconds = 0;
    if (std::sscanf(line.c_str(), "%d:%d:%d.%d", &hours, &minutes, &seconds, &milliseconds) != 4) return -1;
    return ((hours * 60L + minutes) * 60L + seconds) * 1000L + milliseconds;
}

std::vector<std::string> linesWith(const std::string& output, const std::string& text) {
    std::vector<std::string> found;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);)
        if (line.find(text) != std::string::npos) found.push_back(line);
    return found;
}

TEST(PresenceAtScale, sweepsFiveHundredGoneDevicesReclaimsForANewcomerAndStopsAtOnce) {
    if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
    if (::access("/bin/busybox", X_OK) != 0) GTEST_SKIP() << "busybox is missing; run scripts/install-deps.sh";
    Namespaces bench("10.66.0.1/22");
    if (!bench.error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench.error;
    TempFolder temp;
    writeFile(temp / "udhcpc.sh", udhcpcScript, true);

    // 10.66.0.10 to 10.66.1.253: exactly 500 addresses, each bound to a device nobody will see again.
    const IPv4Address first(10, 66, 0, 10);
    std::vector<Lease> leases;
    for (std::uint32_t i = 0; i < leaseCount; ++i) {
        MACAddress device{{0x02, 0x77, 0, 0, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)}};
        leases.push_back(Lease{device, IPv4Address{first.value + i}, Lease::State::bound, Date{4'000'000'000.0},
                               std::nullopt, std::nullopt, std::nullopt, Date{0}, Date{0}});
    }
    LeaseFile(temp / "leases.json").save(LeaseTable(std::move(leases), {}));

    Child server(bench.serverNS,
                 {ANVIL_DHCPANVIL_PATH, "serve", "--iface", bench.card, "--server", "10.66.0.1/22", "--range",
                  "10.66.0.10-10.66.1.253", "--lease", "1h", "--leases", temp / "leases.json"},
                 {"HOME=" + temp.path.string(), "XDG_STATE_HOME=" + (temp / "state")});
    ASSERT_GE(server.waitForLine("START", 10s), 0) << server.output();
    auto started = std::chrono::steady_clock::now();

    // A newcomer while the first sweep is still out; it needs one of the 500 addresses reclaimed.
    std::this_thread::sleep_for(1500ms);
    Child client(bench.clientNS, {"/bin/busybox", "udhcpc", "-f", "-i", "cli0", "-s", temp / "udhcpc.sh", "-t", "5",
                                  "-T", "2", "-A", "1", "-q"});
    EXPECT_GE(client.waitForLine("udhcpc-event bound", 15s), 0) << client.output();

    // The first sweep began a second after START and must end within its 10-second interval.
    for (int wait = 0; wait < 150 && linesWith(server.output(), "OFFLINE ").size() < leaseCount - 1; ++wait)
        std::this_thread::sleep_for(100ms);
    auto output = server.output();
    auto offline = linesWith(output, "OFFLINE ");
    ASSERT_GE(offline.size(), leaseCount - 1) << output;
    auto startLine = linesWith(output, "START ");
    ASSERT_FALSE(startLine.empty());
    long sweep = stampOf(offline.back()) - stampOf(startLine.front());
    EXPECT_LE(sweep, 11'000) << "the first sweep ended " << sweep << " ms after START";
    std::printf("first sweep of %u gone devices: %ld ms after START (first cycle 1000 ms after START)\n",
                leaseCount, sweep);

    auto discover = linesWith(output, "RX DISCOVER");
    auto offer = linesWith(output, "TX OFFER");
    ASSERT_FALSE(discover.empty()) << output;
    ASSERT_FALSE(offer.empty()) << output;
    long waited = stampOf(offer.front()) - stampOf(discover.front());
    EXPECT_LE(waited, 2'000) << output;
    std::printf("DISCOVER to OFFER with a reclaim during the sweep: %ld ms\n", waited);

    // Ctrl-C while the next sweep's probes are out (it starts 11 s after START).
    std::this_thread::sleep_until(started + 11500ms);
    auto interrupted = std::chrono::steady_clock::now();
    server.signal(SIGINT);
    ASSERT_TRUE(server.waitForExit(5s)) << server.output();
    auto exitMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - interrupted).count();
    EXPECT_LE(exitMs, 3'000) << server.output();
    std::printf("serve exited %lld ms after SIGINT\n", static_cast<long long>(exitMs));
    EXPECT_GE(server.waitForLine("server stopped", 1s), 0);
}

}  // namespace
}  // namespace anvil::field
