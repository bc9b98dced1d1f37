#include "core/device_logs/log_device.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

MACAddress mac(std::uint8_t last) { return MACAddress{{0x52, 0x54, 0, 0, 0, last}}; }

Lease boundLease(std::uint8_t last, IPv4Address ip, double expiresAt, std::optional<std::string> hostname) {
    Lease lease;
    lease.mac = mac(last);
    lease.ip = ip;
    lease.state = Lease::State::bound;
    lease.expiresAt = Date{expiresAt};
    lease.hostname = std::move(hostname);
    return lease;
}

Neighbour seen(std::uint8_t last, std::vector<IPv4Address> claims, double lastSeen, std::string maker = {}) {
    Neighbour neighbour;
    neighbour.mac = mac(last);
    neighbour.claims = std::move(claims);
    neighbour.lastSeen = Date{lastSeen};
    neighbour.maker = std::move(maker);
    return neighbour;
}

TEST(LogDevice, namesTheLeaseOrNeighbourBehindTheSourceOrTheFramesHardwareAddress) {
    using enum LogDevice::Kind;
    const IPv4Address camera{192, 168, 0, 10}, old{192, 168, 0, 11}, claimed{192, 168, 0, 20}, stranger{192, 168, 0, 99},
        linkLocal{169, 254, 1, 1};
    const LeaseTable leases({boundLease(1, camera, 100, "cam"), boundLease(2, old, 5, "gone"), boundLease(3, {192, 168, 0, 12}, 100, {})},
                            {});
    auto named = seen(5, {claimed}, 30);
    named.lldp = LLDPIdentity{};
    named.lldp->systemName = "switch\x1b";
    const std::vector<Neighbour> neighbours{
        seen(1, {camera}, 40, "Raspberry Pi Trading Ltd"),
        seen(4, {claimed, {192, 168, 0, 21}}, 50),
        named,
        seen(6, {old}, 10),
    };
    struct Case {
        std::string name;
        IPv4Address source;
        std::optional<MACAddress> frameMAC;
        LogDevice expected;
    };
    const Date now{10};
    const std::vector<Case> cases{
        {"the lease holding the source, maker from its neighbour record", camera, mac(9),
         {lease, camera, mac(1), "cam", "Raspberry Pi Trading Ltd"}},
        {"a lease that no longer holds it gives way to the neighbour", old, {}, {neighbour, old, mac(6), {}, ""}},
        {"of two claimants the one whose claim is newest", claimed, {}, {neighbour, claimed, mac(5), "switch\x1b", ""}},
        {"an unknown source is just the address, whatever the frame says", stranger, mac(1), {address, {192, 168, 0, 99}, {}, {}, ""}},
        {"link-local by the frame: a lease", linkLocal, mac(3), {lease, linkLocal, mac(3), {}, ""}},
        {"link-local by the frame: a neighbour", linkLocal, mac(4), {neighbour, linkLocal, mac(4), {}, ""}},
        {"link-local by the frame: nobody", linkLocal, mac(8), {address, linkLocal, mac(8), {}, ""}},
        {"link-local without a frame", linkLocal, {}, {address, linkLocal, {}, {}, ""}},
        {"0.0.0.0 by the frame", IPv4Address::zero, mac(1), {lease, IPv4Address::zero, mac(1), "cam", "Raspberry Pi Trading Ltd"}},
        {"broadcast by the frame", IPv4Address::broadcast, mac(2), {lease, IPv4Address::broadcast, mac(2), "gone", ""}},
    };
    for (const auto& c : cases) EXPECT_EQ(attributeSender(c.source, c.frameMAC, leases, neighbours, now), c.expected) << c.name;
}

}  // namespace
}  // namespace anvil
