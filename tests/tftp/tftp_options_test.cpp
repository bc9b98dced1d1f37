#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/tftp/tftp_admission.hpp"
#include "core/tftp/tftp_limits.hpp"
#include "core/tftp/tftp_options.hpp"

namespace anvil {
namespace {

TEST(TFTPOptions, negotiatesWhatTheServerCanDo) {
    struct Case {
        std::string name;
        TFTPOptions requested;
        std::uint16_t ceiling;
        TFTPTransferOptions expected;
        TFTPOptions acknowledged;
    };
    const std::uint16_t standard = 1468;
    const std::vector<Case> cases{
        {"none", {}, standard, {}, {}},
        {"blksize as asked", {{"blksize", "1024"}}, standard, {1024, 1, {}}, {{"blksize", "1024"}}},
        {"blksize clipped", {{"blksize", "65464"}}, standard, {1468, 1, {}}, {{"blksize", "1468"}}},
        {"blksize raised ceiling", {{"blksize", "8192"}}, 9000, {8192, 1, {}}, {{"blksize", "8192"}}},
        {"blksize smallest", {{"blksize", "8"}}, standard, {8, 1, {}}, {{"blksize", "8"}}},
        {"blksize 7 ignored", {{"blksize", "7"}}, standard, {}, {}},
        {"blksize 65465 ignored", {{"blksize", "65465"}}, 65464, {}, {}},
        {"blksize not a number", {{"blksize", "-1"}}, standard, {}, {}},
        {"blksize with space", {{"blksize", " 512"}}, standard, {}, {}},
        {"blksize huge digits", {{"blksize", "99999999999999999999999"}}, standard, {}, {}},
        {"ceiling below 8 kept at 8", {{"blksize", "512"}}, 0, {8, 1, {}}, {{"blksize", "8"}}},
        {"tsize answered", {{"tsize", "0"}}, standard, {}, {{"tsize", "123456789012"}}},
        {"tsize empty ignored", {{"tsize", ""}}, standard, {}, {}},
        {"timeout as asked", {{"timeout", "3"}}, standard, {512, 1, 3}, {{"timeout", "3"}}},
        {"timeout 5 as asked", {{"timeout", "5"}}, standard, {512, 1, 5}, {{"timeout", "5"}}},
        {"timeout 6 run at 5, left out", {{"timeout", "6"}}, standard, {512, 1, 5}, {}},
        {"timeout 255 run at 5, left out", {{"timeout", "255"}, {"tsize", "0"}}, standard, {512, 1, 5},
         {{"tsize", "123456789012"}}},
        {"timeout 0 ignored", {{"timeout", "0"}}, standard, {}, {}},
        {"timeout 256 ignored", {{"timeout", "256"}}, standard, {}, {}},
        {"windowsize as asked", {{"windowsize", "16"}}, standard, {512, 16, {}}, {{"windowsize", "16"}}},
        {"windowsize clipped", {{"windowsize", "65535"}}, standard, {512, 64, {}}, {{"windowsize", "64"}}},
        {"windowsize 0 ignored", {{"windowsize", "0"}}, standard, {}, {}},
        {"windowsize 65536 ignored", {{"windowsize", "65536"}}, standard, {}, {}},
        {"unknown ignored", {{"multicast", ""}, {"rollover", "0"}}, standard, {}, {}},
        {"client's order kept",
         {{"windowsize", "8"}, {"tsize", "0"}, {"x", "1"}, {"blksize", "1400"}, {"timeout", "2"}},
         standard,
         {1400, 8, 2},
         {{"windowsize", "8"}, {"tsize", "123456789012"}, {"blksize", "1400"}, {"timeout", "2"}}},
    };
    for (const auto& c : cases) {
        auto negotiation = negotiateTFTPOptions(c.requested, 123456789012ull, c.ceiling);
        EXPECT_EQ(negotiation.options, c.expected) << c.name;
        EXPECT_EQ(negotiation.acknowledged, c.acknowledged) << c.name;
        EXPECT_EQ(negotiation.sendsOptionAck(), !c.acknowledged.empty()) << c.name;
    }
}

// A source costs a device nothing to make up, a lease does: with every slot taken, only a lease
// holder gets one, from the oldest transfer never acknowledged.
TEST(TFTPLimits, admitsUpToSixteenTransfersAndFourPerClient) {
    const auto asker = *IPv4Address::parse("10.0.0.2");
    enum class Acked { all, none, allButThird };
    auto slots = [&](std::size_t total, std::size_t forAsker, Acked acked = Acked::all) {
        std::vector<TFTPSlot> running;
        for (std::size_t i = 0; i < total; ++i) {
            auto client = i < forAsker ? asker : IPv4Address{asker.value + 100 + static_cast<std::uint32_t>(i)};
            bool yes = acked == Acked::all || (acked == Acked::allButThird && i != 2);
            running.push_back({static_cast<std::uint32_t>(i + 1), client, yes});
        }
        return running;
    };
    struct Case {
        const char* what;
        std::vector<TFTPSlot> running;
        bool holdsLease;
        TFTPAdmission expected;
    };
    const std::vector<Case> cases{
        {"nothing running", slots(0, 0), false, {}},
        {"fifteen running, three its own", slots(15, 3), false, {}},
        {"fifteen running, four its own", slots(15, 4), false, {TFTPAdmissionRefusal::tooManyForClient, {}}},
        {"sixteen running", slots(16, 0), false, {TFTPAdmissionRefusal::tooManyTransfers, {}}},
        {"sixteen running, four its own", slots(16, 4), false, {TFTPAdmissionRefusal::tooManyTransfers, {}}},
        {"sixteen never acknowledged, no lease", slots(16, 0, Acked::none), false,
         {TFTPAdmissionRefusal::tooManyTransfers, {}}},
        {"sixteen acknowledged, a lease holder", slots(16, 0), true, {TFTPAdmissionRefusal::tooManyTransfers, {}}},
        {"sixteen never acknowledged, a lease holder takes the oldest", slots(16, 0, Acked::none), true,
         {std::nullopt, 1}},
        {"a lease holder takes the one never acknowledged", slots(16, 0, Acked::allButThird), true, {std::nullopt, 3}},
        {"a lease holder with four of its own", slots(16, 4, Acked::none), true,
         {TFTPAdmissionRefusal::tooManyForClient, {}}},
    };
    for (const auto& c : cases) EXPECT_EQ(admitTFTPTransfer(c.running, asker, c.holdsLease), c.expected) << c.what;
}

// Requests come from devices on the bench's networks; this computer's own programs reach the card
// too, from its addresses or loopback, and are refused as on the DHCP port.
TEST(TFTPLimits, takesRequestsOnlyFromTheBenchsNetworks) {
    auto ip = [](const char* text) { return *IPv4Address::parse(text); };
    TFTPSourceFacts card;
    card.benchNetworks = {*Subnet::parse("10.77.0.1/24"), *Subnet::parse("192.168.0.66/24")};
    card.ownAddresses = {ip("10.77.0.1"), ip("192.168.0.66"), ip("172.16.5.9"), ip("127.0.0.1")};
    TFTPSourceFacts loopback;
    loopback.loopbackMode = true;
    struct Case {
        const char* what;
        const char* source;
        const TFTPSourceFacts& facts;
        std::optional<std::string> refusal;
    };
    const std::vector<Case> cases{
        {"a device in the served subnet", "10.77.0.100", card, std::nullopt},
        {"a loader on a network the card was given", "192.168.0.86", card, std::nullopt},
        {"outside every bench network", "10.78.0.5", card,
         "sent from 10.78.0.5, outside the networks of the bench card"},
        {"no address", "0.0.0.0", card, "sent from 0.0.0.0, outside the networks of the bench card"},
        {"the card's own address", "10.77.0.1", card, "sent from 10.77.0.1, an address of this computer"},
        {"another card's address", "172.16.5.9", card, "sent from 172.16.5.9, an address of this computer"},
        {"loopback on a card", "127.0.0.5", card, "sent from 127.0.0.5, a loopback address"},
        {"loopback test client", "127.0.0.5", loopback, std::nullopt},
        {"a device in loopback mode", "10.77.0.100", loopback,
         "sent from 10.77.0.100, not from this computer's loopback"},
    };
    for (const auto& c : cases) EXPECT_EQ(tftpSourceRefusal(ip(c.source), c.facts), c.refusal) << c.what;
}

}  // namespace
}  // namespace anvil
