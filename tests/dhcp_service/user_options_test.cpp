// Which user options a reply carries: the narrowest match per code, asked or always, and fitted.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "core/dhcp_service/bootp_reply.hpp"
#include "tests/dhcp_service/responder_fixtures.hpp"

namespace anvil {
namespace {

using namespace anvil::testing;
using Type = DHCPMessageType;
using Kind = OptionMatch::Kind;

constexpr double t0 = 1'700'000'000;
const MACAddress pc = hw("02:00:00:00:00:01");
const MACAddress apcCard = hw("00:c0:b7:11:22:33");
const Bytes apcCookie{1, 4, '1', 'A', 'P', 'C'};

UserOption option(Kind kind, std::string value, std::uint8_t code, Bytes data, bool always = false) {
    return UserOption{OptionMatch{kind, std::move(value)}, code, std::move(data), always};
}

TEST(UserOptions, NarrowestMatchAskedOrAlwaysGoesOutOnceWithItsReason) {
    const Bytes ntpAll{10, 0, 0, 1}, ntpMaker{10, 0, 0, 2}, ntpDevice{10, 0, 0, 3}, ntpVendor{10, 0, 0, 4};
    struct Case {
        const char* name;
        std::vector<UserOption> options;
        Message request;
        std::uint8_t code;
        std::optional<Bytes> sent;
        std::string note;  // a piece the note holds; empty for none about user options
    };
    auto discover = [](const MACAddress& mac) { return Message(Type::discover, mac); };
    auto asking = [](Message message, Bytes codes) { return message.option(OptionCode::parameterList, codes); };
    const Case cases[] = {
        {"asked for, every device", {option(Kind::everyDevice, "", 42, ntpAll)}, asking(discover(pc), {1, 42}), 42, ntpAll,
         "option 42 for every device"},
        {"not asked, not always", {option(Kind::everyDevice, "", 42, ntpAll)}, asking(discover(pc), {1, 3}), 42, std::nullopt, ""},
        {"no option 55 at all", {option(Kind::everyDevice, "", 42, ntpAll)}, discover(pc), 42, std::nullopt, ""},
        {"always, not asked", {option(Kind::everyDevice, "", 42, ntpAll, true)}, discover(pc), 42, ntpAll,
         "option 42 for every device"},
        {"maker beats every device, in either order",
         {option(Kind::maker, "00:c0:b7", 42, ntpMaker), option(Kind::everyDevice, "", 42, ntpAll)},
         asking(discover(apcCard), {42}), 42, ntpMaker, "option 42 for maker 00:c0:b7"},
        {"another maker gets every device's",
         {option(Kind::maker, "00:c0:b7", 42, ntpMaker), option(Kind::everyDevice, "", 42, ntpAll)}, asking(discover(pc), {42}),
         42, ntpAll, "option 42 for every device"},
        {"device beats maker",
         {option(Kind::maker, "00:c0:b7", 42, ntpMaker), option(Kind::device, "00:c0:b7:11:22:33", 42, ntpDevice)},
         asking(discover(apcCard), {42}), 42, ntpDevice, "option 42 for device 00:c0:b7:11:22:33"},
        {"vendor class beats user class and boot kind",
         {option(Kind::bootKind, "efi-x64", 42, ntpAll), option(Kind::userClass, "lab", 42, ntpMaker),
          option(Kind::vendorClass, "PXEClient", 42, ntpVendor)},
         asking(discover(pc).vendorClass("PXEClient:Arch:00007:UNDI:003016").option(77, {3, 'l', 'a', 'b'}), {42}), 42,
         ntpVendor, "option 42 for vendor class PXEClient"},
        {"user class in RFC 3004 form beats boot kind",
         {option(Kind::bootKind, "efi-x64", 42, ntpAll), option(Kind::userClass, "lab", 42, ntpMaker)},
         asking(discover(pc).vendorClass("PXEClient:Arch:00007:UNDI:003016").option(77, {3, 'l', 'a', 'b'}), {42}), 42,
         ntpMaker, "option 42 for user class lab"},
        {"boot kind", {option(Kind::bootKind, "efi-x64", 42, ntpAll)},
         asking(discover(pc).vendorClass("PXEClient:Arch:00007:UNDI:003016"), {42}), 42, ntpAll,
         "option 42 for boot kind efi-x64"},
        {"the longer vendor prefix wins",
         {option(Kind::vendorClass, "APC", 42, ntpAll), option(Kind::vendorClass, "APC NMC", 42, ntpVendor)},
         asking(discover(apcCard).vendorClass("APC NMC 2"), {42}), 42, ntpVendor, "option 42 for vendor class APC NMC"},
        {"another vendor class gets nothing", {option(Kind::vendorClass, "APC", 43, apcCookie, true)},
         discover(pc).vendorClass("udhcp 1.36.1"), 43, std::nullopt, ""},
        {"a user 43 replaces the APC cookie", {option(Kind::vendorClass, "APC", 43, {1, 2, 'h', 'i'}, true)},
         discover(apcCard).vendorClass("APC"), 43, Bytes{1, 2, 'h', 'i'}, "option 43 for vendor class APC"},
        {"an every-device 43 leaves the APC cookie", {option(Kind::everyDevice, "", 43, {1, 2, 'h', 'i'}, true)},
         discover(apcCard).vendorClass("APC"), 43, apcCookie, "+APC cookie"},
    };
    for (const auto& c : cases) {
        auto config = benchConfig();
        config.userOptions = c.options;
        auto decision = Responder{config}.decide(c.request, contextAt(t0));
        auto reply = decision.action.replyValue();
        ASSERT_NE(reply, nullptr) << c.name;
        EXPECT_EQ(reply->packet.option(c.code), c.sent) << c.name;
        auto codes = optionCodes(reply->packet);
        EXPECT_EQ(std::set<std::uint8_t>(codes.begin(), codes.end()).size(), codes.size()) << c.name;
        auto note = reply->note.value_or("");
        if (c.note.empty()) {
            EXPECT_EQ(note.find("option " + std::to_string(c.code) + " for"), std::string::npos) << c.name << ": " << note;
        } else {
            EXPECT_NE(note.find(c.note), std::string::npos) << c.name << ": " << note;
        }
    }
}

TEST(UserOptions, FittingDropsUnaskedUserOptionsFirstAndKeepsTheBootFile) {
    const Bytes big(60, 0xab);
    struct Case {
        const char* name;
        bool bootp;
        std::vector<std::uint8_t> asked;
        std::vector<std::uint8_t> kept;
        std::vector<std::uint8_t> leftOut;
    };
    const Case cases[] = {
        {"unasked ones go before asked ones", false, {224}, {224, 226}, {225}},
        {"asked ones go after what the client works out", false, {224, 225, 226}, {225, 226}, {66, 28, 59, 58, 224}},
        {"a BOOTREPLY gets the always ones and keeps its file", true, {}, {225, 226}, {224}},
    };
    for (const auto& c : cases) {
        auto config = benchConfig();
        BootConfig boot;
        boot.folder = "/srv/boot";
        boot.fileForAll = std::string(100, 'f');
        config.boot = boot;
        for (std::uint8_t code : {224, 225, 226})
            config.userOptions.push_back(option(Kind::everyDevice, "", code, big, true));
        auto request = Message(Type::discover, pc).vendorClass("PXEClient:Arch:00007:UNDI:003016");
        if (!c.asked.empty()) request.option(OptionCode::parameterList, Bytes(c.asked.begin(), c.asked.end()));
        if (c.bootp) request.withoutOption(OptionCode::messageType);
        std::optional<Reply> reply;
        if (c.bootp) {
            reply = bootReply(request, config, addr("192.168.0.100"), pc);
        } else {
            auto decision = Responder{config}.decide(request, contextAt(t0));
            ASSERT_NE(decision.action.replyValue(), nullptr) << c.name;
            reply = *decision.action.replyValue();
        }
        EXPECT_LE(reply->packet.serialize(DHCPPacket::minimumReplyLength).size(), 548u) << c.name;
        EXPECT_EQ(reply->packet.file, boot.fileForAll) << c.name;
        for (auto code : c.kept) EXPECT_EQ(reply->packet.option(code), big) << c.name << " option " << int(code);
        for (auto code : c.leftOut) EXPECT_FALSE(reply->packet.option(code)) << c.name << " option " << int(code);
        auto note = reply->note.value_or("");
        for (auto code : c.kept)
            EXPECT_NE(note.find("option " + std::to_string(code) + " for every device"), std::string::npos) << c.name << note;
        for (auto code : c.leftOut)
            EXPECT_EQ(note.find("option " + std::to_string(code) + " for"), std::string::npos) << c.name << note;
    }
}

}  // namespace
}  // namespace anvil
