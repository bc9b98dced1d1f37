#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/discovery/neighbour_advice.hpp"

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
    std::vector<IPv4Address> all24;
    for (std::uint8_t i = 1; i <= 254; ++i) all24.push_back({192, 168, 5, i});
    std::vector<IPv4Address> top;
    for (std::uint8_t i = 1; i <= 254; ++i) top.push_back({169, 254, 254, i});
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
