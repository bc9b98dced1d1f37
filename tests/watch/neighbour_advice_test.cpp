#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/watch/neighbour_advice.hpp"

namespace anvil {
namespace {

using Kind = NeighbourAdvice::Kind;

TEST(NeighbourAdvice, adviseReachingOrServingOnlyWhatNobodyHolds) {
    struct Case {
        std::string name;
        Neighbour neighbour;
        CableFacts facts;
        std::optional<NeighbourAdvice> expected;
    };
    const IPv4Address camera{192, 168, 1, 1}, loaderSelf{192, 168, 0, 86}, wanted{192, 168, 0, 66};
    const auto served = Subnet::make({10, 0, 0, 1}, 24);
    auto with = [](auto change) {
        Neighbour neighbour;
        change(neighbour);
        return neighbour;
    };
    auto claiming = [&](std::vector<IPv4Address> claims) { return with([&](Neighbour& n) { n.claims = claims; }); };
    auto asking = [&](unsigned count) {
        return with([&](Neighbour& n) {
            n.claims = {loaderSelf};
            n.asksFor = {{wanted, count}};
        });
    };
    auto reading = with([&](Neighbour& n) {
        n.claims = {loaderSelf};
        n.asksFor = {{{192, 168, 0, 99}, 5}};
        n.tftpServer = wanted;
        n.tftpFile = "recovery.bin";
    });
    CableFacts serving{served, {{10, 0, 0, 1}}, {}};
    const std::vector<Case> cases{
        {"reach a device outside the served subnet", claiming({camera}), serving,
         NeighbourAdvice{Kind::reachIt, camera, {{192, 168, 1, 254}, 24}}},
        {"any claim when only watching", claiming({{10, 0, 0, 7}}), CableFacts{},
         NeighbourAdvice{Kind::reachIt, {10, 0, 0, 7}, {{10, 0, 0, 254}, 24}}},
        {"served claim needs nothing", claiming({{10, 0, 0, 7}}), serving, std::nullopt},
        {"newest claim outside served wins", claiming({camera, {10, 0, 0, 7}}), serving,
         NeighbourAdvice{Kind::reachIt, camera, {{192, 168, 1, 254}, 24}}},
        {"card already in its network", claiming({camera}), CableFacts{{}, {{192, 168, 1, 100}}, {}}, std::nullopt},
        {"claims our card address", claiming({{10, 0, 0, 1}}), CableFacts{{}, {{10, 0, 0, 1}}, {}}, std::nullopt},
        {"holds a lease", with([&](Neighbour& n) { n.claims = {camera}; n.holdsLease = true; }), CableFacts{},
         std::nullopt},
        {"no claim", with([&](Neighbour& n) { n.asksFor = {{wanted, 9}}; }), CableFacts{}, std::nullopt},
        {"link-local device", claiming({{169, 254, 3, 4}}), CableFacts{},
         NeighbourAdvice{Kind::reachIt, {169, 254, 3, 4}, {{169, 254, 254, 254}, 16}}},
        {"recovery loader after enough who-has", asking(recoveryAskCount), CableFacts{},
         NeighbourAdvice{Kind::recoveryLoader, loaderSelf, {wanted, 24}}},
        {"too few who-has: reach it instead", asking(recoveryAskCount - 1), CableFacts{},
         NeighbourAdvice{Kind::reachIt, loaderSelf, {{192, 168, 0, 254}, 24}}},
        {"wanted address is ours", asking(9), CableFacts{{}, {wanted}, {}}, std::nullopt},
        {"wanted address claimed by another device", asking(9), CableFacts{{}, {}, {wanted}},
         NeighbourAdvice{Kind::reachIt, loaderSelf, {{192, 168, 0, 254}, 24}}},
        {"TFTP server preferred over who-has", reading, CableFacts{},
         NeighbourAdvice{Kind::recoveryLoader, loaderSelf, {wanted, 24}}},
        {"taken TFTP server falls back to who-has", reading, CableFacts{{}, {}, {wanted}},
         NeighbourAdvice{Kind::recoveryLoader, loaderSelf, {{192, 168, 0, 99}, 24}}},
        {"broadcast TFTP server is no address to take",
         with([&](Neighbour& n) { n.claims = {loaderSelf}; n.tftpServer = IPv4Address::broadcast; }), CableFacts{},
         NeighbourAdvice{Kind::reachIt, loaderSelf, {{192, 168, 0, 254}, 24}}},
        {"link-local loader", with([&](Neighbour& n) { n.claims = {{169, 254, 1, 2}}; n.tftpServer = IPv4Address{169, 254, 1, 1}; }),
         CableFacts{}, NeighbourAdvice{Kind::recoveryLoader, {169, 254, 1, 2}, {{169, 254, 1, 1}, 16}}},
        {"recovery even when the device is in the served subnet",
         with([&](Neighbour& n) { n.claims = {{10, 0, 0, 50}}; n.tftpServer = IPv4Address{10, 0, 0, 60}; }), serving,
         NeighbourAdvice{Kind::recoveryLoader, {10, 0, 0, 50}, {{10, 0, 0, 60}, 24}}},
    };
    for (const auto& c : cases) EXPECT_EQ(adviceFor(c.neighbour, c.facts), c.expected) << c.name;
}

TEST(NeighbourAdvice, reachAddressIsAFreeOneOfTheDevicesNetwork) {
    struct Case {
        std::string name;
        IPv4Address device;
        CableFacts facts;
        std::optional<CardAddress> expected;
    };
    std::unordered_set<IPv4Address> all24;
    for (std::uint8_t i = 1; i <= 254; ++i) all24.insert({192, 168, 5, i});
    std::unordered_set<IPv4Address> top;
    for (std::uint8_t i = 1; i <= 254; ++i) top.insert({169, 254, 254, i});
    // The first candidates of the link-local /16 all taken: the search stops rather than walk 64,516.
    std::unordered_set<IPv4Address> crowded = top;
    for (std::uint8_t i = 1; i <= 254; ++i) crowded.insert({169, 254, 253, i});
    const std::vector<Case> cases{
        {".254 first", {192, 168, 1, 1}, {}, CardAddress{{192, 168, 1, 254}, 24}},
        {"device on .254", {192, 168, 1, 254}, {}, CardAddress{{192, 168, 1, 253}, 24}},
        {"claimed addresses skipped", {192, 168, 1, 1},
         {{}, {{10, 0, 0, 1}}, {{192, 168, 1, 254}, {192, 168, 1, 253}}}, CardAddress{{192, 168, 1, 252}, 24}},
        {"card in the same /24", {192, 168, 1, 1}, {{}, {{192, 168, 1, 7}}, {}}, std::nullopt},
        {"full network", {192, 168, 5, 1}, {{}, {}, all24}, std::nullopt},
        {"public address", {8, 8, 8, 8}, {}, CardAddress{{8, 8, 8, 254}, 24}},
        {"link-local", {169, 254, 7, 9}, {}, CardAddress{{169, 254, 254, 254}, 16}},
        {"link-local skips claimed and the device", {169, 254, 254, 254}, {{}, {}, {{169, 254, 254, 253}}},
         CardAddress{{169, 254, 254, 252}, 16}},
        {"link-local row full", {169, 254, 7, 9}, {{}, {}, top}, CardAddress{{169, 254, 253, 254}, 16}},
        {"search capped when its first candidates are all taken", {169, 254, 7, 9}, {{}, {}, crowded}, std::nullopt},
        {"card already link-local", {169, 254, 7, 9}, {{}, {{169, 254, 100, 1}}, {}}, std::nullopt},
        {"zero", IPv4Address::zero, {}, std::nullopt},
        {"this network", {0, 1, 2, 3}, {}, std::nullopt},
        {"loopback", {127, 0, 0, 5}, {}, std::nullopt},
        {"multicast", {224, 0, 0, 251}, {}, std::nullopt},
        {"reserved", {240, 1, 1, 1}, {}, std::nullopt},
        {"broadcast", IPv4Address::broadcast, {}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(reachAddressFor(c.device, c.facts), c.expected) << c.name;
}

// Advice only ever adds an address the bench alone uses: never one of another card's network, a
// local address or a next hop, which would pull the office's traffic onto the bench cable.
TEST(NeighbourAdvice, proposesNothingThisComputerUsesOffTheBench) {
    struct Case {
        std::string name;
        Neighbour neighbour;
        std::optional<NeighbourAdvice> expected;
    };
    CableFacts facts;
    facts.served = Subnet::make({10, 77, 0, 1}, 24);
    facts.cardAddresses = {{10, 77, 0, 1}};
    facts.otherNetworks = {{{10, 78, 0, 5}, 24}, {{127, 0, 0, 1}, 8}, {{172, 20, 9, 1}, 30}};
    facts.localAddresses = {{10, 78, 0, 5}, {127, 0, 0, 1}, {10, 77, 0, 1}, {192, 168, 3, 254}};
    // The office gateway, and a next hop of a policy-routing table only.
    facts.routeGateways = {{10, 78, 0, 1}, {192, 168, 9, 254}};
    auto device = [](IPv4Address self, std::vector<AskedAddress> asks = {}, std::optional<IPv4Address> tftp = {}) {
        Neighbour neighbour;
        neighbour.claims = {self};
        neighbour.asksFor = std::move(asks);
        neighbour.tftpServer = tftp;
        return neighbour;
    };
    const IPv4Address loader{192, 168, 0, 86};
    const std::vector<Case> cases{
        {"who-has for the office gateway", device(loader, {{{10, 78, 0, 1}, 9}}),
         NeighbourAdvice{Kind::reachIt, loader, {{192, 168, 0, 254}, 24}}},
        {"TFTP request to the uplink's address", device(loader, {}, IPv4Address{10, 78, 0, 5}),
         NeighbourAdvice{Kind::reachIt, loader, {{192, 168, 0, 254}, 24}}},
        {"who-has for another address of the uplink's network", device(loader, {{{10, 78, 0, 77}, 9}}),
         NeighbourAdvice{Kind::reachIt, loader, {{192, 168, 0, 254}, 24}}},
        {"who-has for loopback", device(loader, {{{127, 0, 0, 1}, 9}}),
         NeighbourAdvice{Kind::reachIt, loader, {{192, 168, 0, 254}, 24}}},
        {"claim inside the uplink's network", device({10, 78, 0, 50}), std::nullopt},
        {"claim of the uplink's own address", device({10, 78, 0, 5}), std::nullopt},
        {"a /24 around a smaller network of another card", device({172, 20, 9, 100}), std::nullopt},
        {".254 is a next hop in table 100", device({192, 168, 9, 1}),
         NeighbourAdvice{Kind::reachIt, {192, 168, 9, 1}, {{192, 168, 9, 253}, 24}}},
        {".254 is a local address of another card", device({192, 168, 3, 1}),
         NeighbourAdvice{Kind::reachIt, {192, 168, 3, 1}, {{192, 168, 3, 253}, 24}}},
        {"a loader looking for a free address", device(loader, {{{192, 168, 0, 66}, 3}}),
         NeighbourAdvice{Kind::recoveryLoader, loader, {{192, 168, 0, 66}, 24}}},
        {"a device of nobody's network", device({192, 168, 1, 1}),
         NeighbourAdvice{Kind::reachIt, {192, 168, 1, 1}, {{192, 168, 1, 254}, 24}}},
    };
    for (const auto& c : cases) EXPECT_EQ(adviceFor(c.neighbour, facts), c.expected) << c.name;
}

TEST(NeighbourAdvice, sentenceNamesTheDeviceEscaped) {
    Neighbour neighbour;
    neighbour.maker = "Maker";
    NeighbourAdvice reach{Kind::reachIt, {192, 168, 1, 1}, {{192, 168, 1, 254}, 24}};
    EXPECT_EQ(adviceSentence(reach, neighbour),
              "A device at 192.168.1.1 (Maker) is on the cable but doesn't ask for an address.");
    neighbour.lldp = LLDPIdentity{};
    neighbour.lldp->model = "Cam\n9";
    EXPECT_EQ(adviceSentence(reach, neighbour).find('\n'), std::string::npos);
    NeighbourAdvice loader{Kind::recoveryLoader, {192, 168, 0, 86}, {{192, 168, 0, 66}, 24}};
    EXPECT_EQ(adviceSentence(loader, neighbour),
              "A device at 192.168.0.86 is looking for 192.168.0.66 (a firmware recovery loader?)");
    EXPECT_EQ(loader.cardAddress.cidr(), "192.168.0.66/24");
}

}  // namespace
}  // namespace anvil
