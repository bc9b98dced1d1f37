#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

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
        {"timeout 255", {{"timeout", "255"}}, standard, {512, 1, 255}, {{"timeout", "255"}}},
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

TEST(TFTPLimits, admitsUpToSixteenTransfersAndFourPerClient) {
    struct Case {
        std::size_t total;
        std::size_t forClient;
        std::optional<TFTPAdmissionRefusal> expected;
    };
    const std::vector<Case> cases{
        {0, 0, std::nullopt},
        {15, 3, std::nullopt},
        {15, 4, TFTPAdmissionRefusal::tooManyForClient},
        {16, 0, TFTPAdmissionRefusal::tooManyTransfers},
        {16, 4, TFTPAdmissionRefusal::tooManyTransfers},
        {100, 100, TFTPAdmissionRefusal::tooManyTransfers},
    };
    for (const auto& c : cases) EXPECT_EQ(admitTFTPTransfer(c.total, c.forClient), c.expected) << c.total << "/" << c.forClient;
}

}  // namespace
}  // namespace anvil
