#include "core/host/interfaces.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "core/host/linux/host_values.hpp"
#include "core/host/linux/text_file.hpp"

namespace anvil {
namespace {

using Method = NetworkCard::ConfigMethod;

NetworkCard card(std::string name, std::string display, bool link,
                 NetworkCard::Kind kind = NetworkCard::Kind::ethernet) {
    NetworkCard c;
    c.bsdName = std::move(name);
    c.displayName = std::move(display);
    c.linkUp = link;
    c.kind = kind;
    return c;
}

std::vector<std::string> names(const std::vector<NetworkCard>& cards) {
    std::vector<std::string> found;
    for (const auto& c : cards) found.push_back(c.bsdName);
    return found;
}

TEST(NetworkCardTest, addressSummaryFollowsFirstAddressAndMethod) {
    auto c = card("en7", "USB LAN", true);
    EXPECT_EQ(c.addressSummary(), "no address");
    c.addresses = {*Subnet::parse("169.254.3.7/16"), *Subnet::parse("10.0.0.2/8")};
    c.configMethod = Method::manual(IPv4Address(10, 0, 0, 2), IPv4Address(255, 0, 0, 0));
    EXPECT_EQ(c.addressSummary(), "169.254.3.7 (self-assigned)");
    c.addresses = {*Subnet::parse("192.168.0.1/24")};
    EXPECT_EQ(c.addressSummary(), "192.168.0.1 (manual)");
    c.configMethod = Method::dhcp();
    EXPECT_EQ(c.addressSummary(), "192.168.0.1 (DHCP)");
    c.configMethod = Method::other("BOOTP");
    EXPECT_EQ(c.addressSummary(), "192.168.0.1");
    c.configMethod = Method::none();
    EXPECT_EQ(c.addressSummary(), "192.168.0.1");
}

TEST(NetworkCardTest, kindRawValuesRoundTripAndRejectOthers) {
    for (auto kind :
         {NetworkCard::Kind::ethernet, NetworkCard::Kind::wifi, NetworkCard::Kind::bridge, NetworkCard::Kind::other})
        EXPECT_EQ(networkCardKindFromRaw(rawValue(kind)), kind);
    EXPECT_EQ(networkCardKindFromRaw("Ethernet"), std::nullopt);
}

TEST(InterfacesTest, kindFromSystemTypeAndSysfs) {
    EXPECT_EQ(Interfaces::kindOf(std::optional<std::string>("Ethernet")), NetworkCard::Kind::ethernet);
    EXPECT_EQ(Interfaces::kindOf(std::optional<std::string>("IEEE80211")), NetworkCard::Kind::wifi);
    EXPECT_EQ(Interfaces::kindOf(std::optional<std::string>("Bridge")), NetworkCard::Kind::bridge);
    EXPECT_EQ(Interfaces::kindOf(std::optional<std::string>("PPP")), NetworkCard::Kind::other);
    EXPECT_EQ(Interfaces::kindOf(std::optional<std::string>()), NetworkCard::Kind::other);
    EXPECT_EQ(Interfaces::kindOf(1, false, false), NetworkCard::Kind::ethernet);
    EXPECT_EQ(Interfaces::kindOf(1, true, false), NetworkCard::Kind::wifi);
    EXPECT_EQ(Interfaces::kindOf(1, false, true), NetworkCard::Kind::bridge);
    EXPECT_EQ(Interfaces::kindOf(772, false, false), NetworkCard::Kind::other);  // loopback
}

TEST(InterfacesTest, configMethodFromServiceDictionary) {
    using Config = Interfaces::IPv4Configuration;
    using Strings = std::vector<std::string>;
    struct Case {
        Config dictionary;
        Method expected;
    } cases[] = {
        {Config{"DHCP", {}, {}}, Method::dhcp()},
        {Config{"Manual", Strings{"192.168.0.1", "10.0.0.1"}, Strings{"255.255.255.0"}},
         Method::manual(IPv4Address(192, 168, 0, 1), IPv4Address(255, 255, 255, 0))},
        {Config{"Manual", Strings{}, Strings{"255.255.255.0"}}, Method::other("Manual")},
        {Config{"Manual", Strings{"fe80::1"}, Strings{"255.255.255.0"}}, Method::other("Manual")},
        {Config{"Manual", Strings{"192.168.0.1"}, std::nullopt}, Method::other("Manual")},
        {Config{"BOOTP", {}, {}}, Method::other("BOOTP")},
        {Config{"dhcp", {}, {}}, Method::other("dhcp")},
        {Config{std::nullopt, {}, {}}, Method::none()},
    };
    for (const auto& c : cases) EXPECT_EQ(Interfaces::configMethod(c.dictionary), c.expected);
}

TEST(InterfacesTest, mediaWordDescriptions) {
    EXPECT_EQ(Interfaces::mediaDescription(std::uint32_t{0x20 | 16 | 0x00100000}), "1000baseT full-duplex");
    EXPECT_EQ(Interfaces::mediaDescription(std::uint32_t{0x20 | 6 | 0x00200000}), "100baseTX half-duplex");
    EXPECT_EQ(Interfaces::mediaDescription(std::uint32_t{0x20 | 30}), "media 30");
    EXPECT_EQ(Interfaces::mediaDescription(std::uint32_t{0x20 | 21 | 0x00300000}), "10GBase-T full-duplex");
    EXPECT_EQ(Interfaces::mediaDescription(std::uint32_t{0x80 | 16 | 0x00100000}), std::nullopt);
}

TEST(InterfacesTest, linuxSpeedDescriptions) {
    using Interfaces::mediaDescription;
    EXPECT_EQ(mediaDescription(std::optional<long>(10000), "full"), "10GBase-T full-duplex");
    EXPECT_EQ(mediaDescription(std::optional<long>(1000), "half"), "1000baseT half-duplex");
    EXPECT_EQ(mediaDescription(std::optional<long>(2500), "unknown"), "2500Base-T");
    EXPECT_EQ(mediaDescription(std::optional<long>(40000), "full"), "media 40000Mb/s full-duplex");
    EXPECT_EQ(mediaDescription(std::optional<long>(-1), "full"), std::nullopt);
    EXPECT_EQ(mediaDescription(std::nullopt, "full"), std::nullopt);
}

TEST(InterfacesTest, offeredKeepsWiredEnCardsLinkedFirstThenByName) {
    auto thunderbolt = card("en2", "Thunderbolt Bridge", true);
    auto uplink = card("eth0", "Uplink", true);
    uplink.carriesDefaultRoute = true;
    std::vector<NetworkCard> cards{card("en3", "Z", true),
                                   uplink,
                                   card("en6", "Tunnel", true, NetworkCard::Kind::other),
                                   card("en.7", "VLAN", true),
                                   card("en4", "A", false),
                                   card("en5", "B", true),
                                   card("en0", "Wi-Fi", true, NetworkCard::Kind::wifi),
                                   card("bridge0", "Bridge", true, NetworkCard::Kind::bridge),
                                   card("en8", "Bridge", true, NetworkCard::Kind::bridge),
                                   card("usb0", "USB", true),
                                   thunderbolt};
    EXPECT_EQ(names(Interfaces::offered(cards, true)), (std::vector<std::string>{"en5", "en3", "en4"}));
    EXPECT_EQ(names(Interfaces::offered(cards, false)), (std::vector<std::string>{"en5", "en3"}));
    EXPECT_TRUE(Interfaces::hasServableName("eth0"));
    EXPECT_TRUE(Interfaces::hasServableName("enp3s0"));
    EXPECT_FALSE(Interfaces::hasServableName("e"));
}

TEST(InterfacesTest, preferredCardFallsBackInOrder) {
    auto linked = card("en5", "B", true);
    auto unlinked = card("en4", "A", false);
    unlinked.mac = MACAddress::parse("00:11:22:33:44:55");
    std::vector<NetworkCard> cards{linked, unlinked, card("en0", "Wi-Fi", true, NetworkCard::Kind::wifi)};
    auto remembered = MACAddress::parse("00:11:22:33:44:55");
    EXPECT_EQ(Interfaces::preferredCardID(cards, "en9", remembered, true), "en9");
    EXPECT_EQ(Interfaces::preferredCardID(cards, std::nullopt, remembered, true), std::nullopt);
    EXPECT_EQ(Interfaces::preferredCardID(cards, "en5", remembered, false), "en5");
    EXPECT_EQ(Interfaces::preferredCardID(cards, "en0", remembered, false), "en4");
    EXPECT_EQ(Interfaces::preferredCardID(cards, "en9", std::nullopt, false), "en5");
    EXPECT_EQ(Interfaces::preferredCardID({unlinked}, "en9", MACAddress::parse("00:00:00:00:00:01"), false),
              std::nullopt);
}

TEST(InterfacesTest, assembleMergesGatheredValues) {
    std::vector<Interfaces::ListedInterface> listed{
        {std::nullopt, NetworkCard::Kind::ethernet, "00:11:22:33:44:55", "Nameless"},
        {"en7", NetworkCard::Kind::ethernet, "00:11:22:33:44:55", std::nullopt},
        {"en8", NetworkCard::Kind::ethernet, "not a mac", "Dock"},
    };
    std::vector<InterfaceAddress> addresses{{"en8", *Subnet::parse("10.0.0.1/8"), false},
                                            {"en7", *Subnet::parse("192.168.0.1/24"), false},
                                            {"en7", *Subnet::parse("192.168.1.1/24"), true}};
    Interfaces::ServiceMap services{{"en7", {"USB LAN", Method::dhcp(), "uuid-7"}}};
    auto cards = Interfaces::assemble(listed, addresses, services, std::string("en8"), [](const std::string& name) {
        return name == "en7" ? Interfaces::MediaStatus{true, "1000baseT full-duplex"}
                             : Interfaces::MediaStatus{false, "ignored"};
    });
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(cards[0].displayName, "en7");
    EXPECT_EQ(cards[0].serviceName, "USB LAN");
    EXPECT_EQ(cards[0].serviceID, "uuid-7");
    EXPECT_EQ(cards[0].configMethod, Method::dhcp());
    EXPECT_EQ(cards[0].mac->description(), "00:11:22:33:44:55");
    EXPECT_EQ(cards[0].media, "1000baseT full-duplex");
    EXPECT_EQ(cards[0].addresses,
              (std::vector<Subnet>{*Subnet::parse("192.168.0.1/24"), *Subnet::parse("192.168.1.1/24")}));
    EXPECT_FALSE(cards[0].isPrimary);
    EXPECT_EQ(cards[1].mac, std::nullopt);
    EXPECT_EQ(cards[1].media, std::nullopt);
    EXPECT_EQ(cards[1].serviceName, std::nullopt);
    EXPECT_EQ(cards[1].configMethod, Method::none());
    EXPECT_TRUE(cards[1].isPrimary);
}

TEST(LinuxHostTest, primaryInterfaceIsDefaultRouteWithLowestMetric) {
    const char* table =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t00000000\t0102A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "wlan0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
        "eth1\t00000000\t0101A8C0\t0002\t0\t0\t1\t00000000\t0\t0\t0\n"
        "eth2\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    EXPECT_EQ(LinuxHost::primaryInterface(table), "wlan0");
    EXPECT_EQ(LinuxHost::primaryInterface("Iface\tDestination\n"), std::nullopt);
}

TEST(LinuxHostTest, udevDisplayName) {
    EXPECT_EQ(
        LinuxHost::displayName("I:1\nE:ID_MODEL_FROM_DATABASE=RTL8153 Gigabit\nE:ID_VENDOR_FROM_DATABASE=Realtek\n"),
        "Realtek RTL8153 Gigabit");
    EXPECT_EQ(LinuxHost::displayName("E:ID_VENDOR_FROM_DATABASE=Intel\n"), "Intel");
    EXPECT_EQ(LinuxHost::displayName("E:ID_NET_NAME=enp3s0\n"), std::nullopt);
    // The device's own name when the database has none, decoded, on one line.
    EXPECT_EQ(LinuxHost::displayName("E:ID_MODEL_ENC=USB\\x2010/100/1000\\x20LAN\\x20\nE:ID_MODEL=USB_10\n"),
              "USB 10/100/1000 LAN");
    EXPECT_EQ(LinuxHost::displayName("E:ID_MODEL_ENC=Fast\\x0aLAN\\x1b[2J\nE:ID_VENDOR_FROM_DATABASE=Realtek\n"),
              "Realtek");
    EXPECT_EQ(LinuxHost::displayName("E:ID_MODEL_ENC=Fast\\x0aLAN\\x1b[2J\\x\n"), "FastLAN[2J\\x");
    EXPECT_EQ(LinuxHost::usbProductName("  USB 10/100/1000 LAN\n"), "USB 10/100/1000 LAN");
    EXPECT_EQ(LinuxHost::usbProductName("\x07\n"), std::nullopt);
}

// The picker names a card once, and adds the system's description only when it says more.
TEST(NetworkCardTest, TitleNamesTheCardOnceWithItsDescription) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"USB 10/100/1000 LAN", "enx00e04c68 \u00b7 USB 10/100/1000 LAN"},
        {"enx00e04c68", "enx00e04c68"},
        {"", "enx00e04c68"}};
    for (const auto& [description, title] : cases) {
        NetworkCard card;
        card.bsdName = "enx00e04c68";
        card.displayName = description;
        EXPECT_EQ(card.title(), title) << description;
    }
}

TEST(LinuxHostTest, nmcliOutput) {
    EXPECT_EQ(LinuxHost::nmcliFields("a\\:b:c\\\\d:"), (std::vector<std::string>{"a:b", "c\\d", ""}));
    EXPECT_EQ(LinuxHost::nmcliDevices("enp3s0:connected:u-1\nen\\:x:unavailable:\nbad\n"),
              (std::vector<LinuxHost::NMDevice>{{"enp3s0", "connected", "u-1"}, {"en:x", "unavailable", ""}}));
    auto profiles = LinuxHost::nmcliProfiles(
        "Wired connection 1:u-1:802-3-ethernet:yes:-999:1700000000:enp3s0\n"
        "lo:u-2:loopback:no:0:0:lo\nid:u-3:802-3-ethernet:yes:0:0:\n");
    ASSERT_EQ(profiles.size(), 3u);
    EXPECT_EQ(profiles[0].priority, -999);
    EXPECT_EQ(profiles[0].timestamp, 1700000000);
    EXPECT_EQ(profiles[0].activeDevice, "enp3s0");
    EXPECT_TRUE(profiles[2].autoconnect);
    EXPECT_EQ(profiles[2].activeDevice, "");
    EXPECT_EQ(LinuxHost::nmcliSettings("connection.interface-name:en1\n802-3-ethernet.mac-address:02:00:00:00:00:01\n"),
              (std::map<std::string, std::string, std::less<>>{{"connection.interface-name", "en1"},
                                                               {"802-3-ethernet.mac-address", "02:00:00:00:00:01"}}));
    EXPECT_EQ(LinuxHost::nmcliConfigMethod("ipv4.method:manual\nipv4.addresses:192.168.0.1/24, 10.0.0.1/8\n"),
              Method::manual(IPv4Address(192, 168, 0, 1), IPv4Address(255, 255, 255, 0)));
    EXPECT_EQ(LinuxHost::nmcliConfigMethod("ipv4.method:manual\nipv4.addresses:\n"), Method::other("manual"));
    EXPECT_EQ(LinuxHost::nmcliConfigMethod("ipv4.method:auto\nipv4.addresses:\n"), Method::dhcp());
    EXPECT_EQ(LinuxHost::nmcliConfigMethod("ipv4.method:link-local\n"), Method::other("link-local"));
    EXPECT_EQ(LinuxHost::nmcliConfigMethod(""), Method::none());
}

// Which profile is a card's service: the active one, else the one NetworkManager would bring up
// when the cable comes back.
TEST(LinuxHostTest, serviceProfileOfADevice) {
    using Profile = LinuxHost::NMProfile;
    auto wired = [](std::string name, std::string uuid, long priority, long long used, std::string device = "",
                    std::string interfaceName = "", std::string mac = "", bool autoconnect = true) {
        return Profile{name, uuid, "802-3-ethernet", autoconnect, priority, used, device, interfaceName, mac};
    };
    const std::string cardMAC = "02:77:00:00:00:01";
    struct Case {
        const char* what;
        LinuxHost::NMDevice device;
        std::vector<Profile> profiles;
        const char* expected;  // UUID, or "" for none
    };
    const Case cases[] = {
        {"active profile wins even with lower priority",
         {"en1", "connected", "b"},
         {wired("A", "a", 10, 9), wired("B", "b", 0, 0, "en1")},
         "b"},
        {"cable out: the autoconnect profile tied to the card",
         {"en1", "unavailable", ""},
         {wired("Other card", "o", 0, 5, "", "en2"), wired("Wired connection 1", "w", -999, 0, "", "en1")},
         "w"},
        {"higher priority, then most recently used",
         {"en1", "disconnected", ""},
         {wired("Old", "1", 0, 100), wired("New", "2", 0, 200), wired("Low", "3", -1, 900)},
         "2"},
        {"same name twice: told apart by the card's hardware address",
         {"en1", "unavailable", ""},
         {wired("LAN", "x", 0, 9, "", "", "02:77:00:00:00:99"), wired("LAN", "y", 0, 1, "", "", "02:77:00:00:00:01")},
         "y"},
        {"profiles active elsewhere or not autoconnecting are not candidates",
         {"en1", "unavailable", ""},
         {wired("Busy", "b", 0, 9, "en2"), wired("Manual only", "m", 0, 9, "", "", "", false)},
         ""},
        {"an unmanaged device has no profile", {"en1", "unmanaged", ""}, {wired("Any", "a", 0, 0)}, ""},
    };
    for (const auto& c : cases) {
        const auto* chosen = LinuxHost::serviceProfile(c.device, cardMAC, c.profiles);
        EXPECT_EQ(chosen ? chosen->uuid : "", c.expected) << c.what;
    }
}

TEST(LinuxHostTest, methodFromKernelAddresses) {
    using Address = LinuxHost::KernelAddress;
    EXPECT_EQ(LinuxHost::configMethod({}), Method::none());
    EXPECT_EQ(LinuxHost::configMethod({Address{2, IPv4Address(10, 0, 0, 9), 8, false}}), Method::dhcp());
    EXPECT_EQ(LinuxHost::configMethod(
                  {Address{2, IPv4Address(10, 0, 0, 9), 8, false}, Address{2, IPv4Address(192, 168, 0, 1), 24, true}}),
              Method::manual(IPv4Address(192, 168, 0, 1), IPv4Address(255, 255, 255, 0)));
    // Two fixed addresses: the server's is read back, wherever it stands.
    std::vector<Address> two{Address{2, IPv4Address(10, 77, 0, 1), 24, true},
                             Address{2, IPv4Address(10, 88, 0, 1), 24, true}};
    EXPECT_EQ(LinuxHost::configMethod(two), Method::manual(IPv4Address(10, 77, 0, 1), IPv4Address(255, 255, 255, 0)));
    EXPECT_EQ(LinuxHost::configMethod(two, IPv4Address(10, 88, 0, 1)),
              Method::manual(IPv4Address(10, 88, 0, 1), IPv4Address(255, 255, 255, 0)));
}

TEST(LinuxHostTest, readTextFileKeepsWholeLinesUnderItsCeiling) {
    char path[] = "/tmp/anvil-text-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string text = "one\ntwo\nthree\n";
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
    EXPECT_EQ(LinuxHost::readTextFile(path, 100), text);
    EXPECT_EQ(LinuxHost::readTextFile(path, text.size()), text);
    EXPECT_EQ(LinuxHost::readTextFile(path, 9), "one\ntwo\n");
    EXPECT_EQ(LinuxHost::readTextFile(path, 2), "");
    unlink(path);
    EXPECT_EQ(LinuxHost::readTextFile(path, 100), std::nullopt);
    // /proc files state no size; they are read to their end all the same.
    auto comm = LinuxHost::readTextFile("/proc/self/comm", 256);
    ASSERT_TRUE(comm);
    EXPECT_EQ(comm->back(), '\n');
}

}  // namespace
}  // namespace anvil
