#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/advice_commands.hpp"
#include "core/host/host_setup.hpp"

using namespace anvil;

namespace {

IPv4Address ip(const char* text) { return *IPv4Address::parse(text); }
MACAddress mac(const char* text) { return *MACAddress::parse(text); }

NetworkCard card(std::optional<std::string> serviceID, const char* address) {
    NetworkCard card;
    card.bsdName = "enx0";
    card.kind = NetworkCard::Kind::ethernet;
    card.serviceID = std::move(serviceID);
    card.addresses = {*Subnet::parse(address)};
    return card;
}

Neighbour staticDevice() {
    Neighbour device;
    device.mac = mac("00:11:22:33:44:55");
    device.claims = {ip("192.168.1.1")};
    return device;
}

Neighbour recoveryLoader() {
    Neighbour device;
    device.mac = mac("00:11:22:33:44:66");
    device.claims = {ip("192.168.0.86")};
    device.asksFor = {{ip("192.168.0.66"), recoveryAskCount}};
    return device;
}

std::vector<std::string> printed(EventPrinting& printing, const ServerEvent& event) {
    return printedLines(printing, event, Date{}, std::string("LINE"));
}

}  // namespace

// What a terminal user is told to run is exactly what the action itself would run on that card.
TEST(AdviceCommands, PrintedCommandsAreHostSetupsForTheCard) {
    struct Case {
        const char* name;
        NetworkCard card;
        Neighbour device;
        NoticeKind kind;
        std::string add;
        std::string remove;
    };
    const std::vector<Case> cases{
        {"ip route, reach", card(std::nullopt, "10.0.0.1/24"), staticDevice(), NoticeKind::deviceNotAsking,
         "ip address add 192.168.1.254/24 dev 'enx0'", "ip address del 192.168.1.254/24 dev 'enx0'"},
        {"NetworkManager, reach", card("a-uuid", "10.0.0.1/24"), staticDevice(), NoticeKind::deviceNotAsking,
         "nmcli device modify 'enx0' +ipv4.addresses 192.168.1.254/24",
         "nmcli device modify 'enx0' -ipv4.addresses 192.168.1.254/24"},
        {"ip route, recovery", card(std::nullopt, "10.0.0.1/24"), recoveryLoader(), NoticeKind::recoveryLoader,
         "ip address add 192.168.0.66/24 dev 'enx0'", "ip address del 192.168.0.66/24 dev 'enx0'"},
        {"NetworkManager, recovery", card("a-uuid", "10.0.0.1/24"), recoveryLoader(), NoticeKind::recoveryLoader,
         "nmcli device modify 'enx0' +ipv4.addresses 192.168.0.66/24",
         "nmcli device modify 'enx0' -ipv4.addresses 192.168.0.66/24"},
    };
    for (const auto& test : cases) {
        EventPrinting printing;
        printing.card = test.card;
        printed(printing, ServerEvent::neighbour(NeighbourChange::seen, test.device));
        auto lines = printed(printing, ServerEvent::noticeRaised(Notice{test.kind, "sentence", test.device.mac}));
        auto address = test.kind == NoticeKind::recoveryLoader ? ip("192.168.0.66") : ip("192.168.1.254");
        EXPECT_EQ(test.add, HostSetup::addAddressCommand(test.card, address, 24)) << test.name;
        EXPECT_EQ(test.remove, HostSetup::removeAddressCommand(test.card, address, 24)) << test.name;
        ASSERT_EQ(lines.size(), test.kind == NoticeKind::recoveryLoader ? 6u : 5u) << test.name;
        EXPECT_EQ(lines.front(), "LINE") << test.name;
        EXPECT_EQ(lines[lines.size() - 3], "    " + HostSetup::sudoLine(test.add)) << test.name;
        EXPECT_EQ(lines.back(), "    " + HostSetup::sudoLine(test.remove)) << test.name;
        if (test.kind == NoticeKind::recoveryLoader) {
            EXPECT_NE(lines[1].find("--boot <folder>"), std::string::npos) << test.name;
        }

        printing.json = true;
        auto json = printed(printing, ServerEvent::noticeRaised(Notice{test.kind, "sentence", test.device.mac}));
        ASSERT_EQ(json.size(), 1u) << test.name;
        auto object = nlohmann::json::parse(json.front());
        EXPECT_EQ(object["addCommand"], test.add) << test.name;
        EXPECT_EQ(object["removeCommand"], test.remove) << test.name;
    }
}

// No commands without a device to act on: none named, one never printed, one gone, no card, or a
// device the served subnet already reaches.
TEST(AdviceCommands, NoCommandsWithoutADeviceToReach) {
    struct Case {
        const char* name;
        std::vector<ServerEvent> before;
        std::optional<MACAddress> named;
        bool withCard;
        std::optional<Subnet> served;
    };
    auto device = staticDevice();
    auto served = Subnet::parse("192.168.1.100/24");
    const std::vector<Case> cases{
        {"names none", {ServerEvent::neighbour(NeighbourChange::seen, device)}, std::nullopt, true, std::nullopt},
        {"never seen", {}, device.mac, true, std::nullopt},
        {"gone", {ServerEvent::neighbour(NeighbourChange::seen, device), ServerEvent::neighbour(NeighbourChange::gone, device)},
         device.mac, true, std::nullopt},
        {"no card (loopback)", {ServerEvent::neighbour(NeighbourChange::seen, device)}, device.mac, false, std::nullopt},
        {"in the served subnet", {ServerEvent::neighbour(NeighbourChange::seen, device)}, device.mac, true, served},
    };
    for (const auto& test : cases) {
        EventPrinting printing;
        if (test.withCard) printing.card = card(std::nullopt, "10.0.0.1/24");
        printing.served = test.served;
        for (const auto& event : test.before) printed(printing, event);
        auto lines = printed(printing, ServerEvent::noticeRaised(Notice{NoticeKind::deviceNotAsking, "s", test.named}));
        EXPECT_EQ(lines, std::vector<std::string>{"LINE"}) << test.name;
    }
}

// The card's name is the user's text on a shell line and in JSON: quoted, escaped, still parseable.
TEST(AdviceCommands, HostileCardNameStaysQuotedAndEscaped) {
    EventPrinting printing;
    printing.card = card(std::nullopt, "10.0.0.1/24");
    printing.card->bsdName = "en'x\x1b[2J\"0";
    auto device = staticDevice();
    printed(printing, ServerEvent::neighbour(NeighbourChange::seen, device));
    auto lines = printed(printing, ServerEvent::noticeRaised(Notice{NoticeKind::deviceNotAsking, "s", device.mac}));
    for (const auto& line : lines) EXPECT_EQ(line.find('\x1b'), std::string::npos) << line;
    printing.json = true;
    auto json = printed(printing, ServerEvent::noticeRaised(Notice{NoticeKind::deviceNotAsking, "s", device.mac}));
    ASSERT_EQ(json.size(), 1u);
    auto object = nlohmann::json::parse(json.front());
    EXPECT_EQ(object["addCommand"], HostSetup::addAddressCommand(*printing.card, ip("192.168.1.254"), 24));
}
