#include "cli/card_line.hpp"

#include <gtest/gtest.h>

namespace anvil {
namespace {

TEST(CardLineTest, fieldsJoinedByTwoBlanks) {
    NetworkCard card;
    card.bsdName = "en7";
    card.displayName = "USB LAN";
    card.serviceName = "USB LAN";
    card.mac = MACAddress::parse("00:11:22:aa:bb:cc");
    card.linkUp = true;
    card.media = "1000baseT full-duplex";
    card.addresses = {*Subnet::parse("192.168.0.1/24")};
    card.configMethod = NetworkCard::ConfigMethod::manual(IPv4Address(192, 168, 0, 1), IPv4Address(255, 255, 255, 0));
    EXPECT_EQ(cardLine(card),
              "en7     USB LAN  service: USB LAN  00:11:22:aa:bb:cc  \u25cf link up 1000baseT full-duplex  192.168.0.1 "
              "(manual)");
    card.media.reset();
    EXPECT_EQ(cardLine(card),
              "en7     USB LAN  service: USB LAN  00:11:22:aa:bb:cc  \u25cf link up   192.168.0.1 (manual)");
    card.bsdName = "enx00e04c";
    card.serviceName.reset();
    card.mac.reset();
    card.linkUp = false;
    card.addresses.clear();
    EXPECT_EQ(cardLine(card), "enx00e04c  USB LAN  service: none  -  \u25cb no link  no address");
}

// Card, display and profile names are chosen outside the program: shown, never obeyed by the terminal.
TEST(CardLineTest, outsideNamesArePrintedAsPlainText) {
    NetworkCard card;
    card.bsdName = "en\x1b[2J";
    card.displayName = "Card\nfake line";
    card.serviceName = "\x1b]0;title\x07Wired \u00e9";
    EXPECT_EQ(cardLine(card),
              "en\\x1b[2J  Card\\x0afake line  service: \\x1b]0;title\\x07Wired \u00e9  -  \u25cb no link  no address");
}

}  // namespace
}  // namespace anvil
