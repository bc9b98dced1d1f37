#include "core/host/preflight.hpp"

#include <gtest/gtest.h>

#include "core/events/notice.hpp"

namespace anvil {
namespace {

using Status = PreflightCheck::Status;
using ID = PreflightCheck::ID;
using Method = NetworkCard::ConfigMethod;

ServerConfig config(const char* server = "192.168.0.1", int prefix = 24) {
    ServerConfig c;
    c.serverIP = *IPv4Address::parse(server);
    c.prefixLength = prefix;
    c.rangeStart = IPv4Address(192, 168, 0, 100);
    c.rangeEnd = IPv4Address(192, 168, 0, 200);
    c.leaseSeconds = 3600;
    return c;
}

PreflightInput readyInput() {
    PreflightInput input;
    input.card.bsdName = "en7";
    input.card.displayName = "USB LAN";
    input.card.serviceName = "USB LAN";
    input.card.kind = NetworkCard::Kind::ethernet;
    input.card.linkUp = true;
    input.card.media = "1000baseT full-duplex";
    input.card.addresses = {*Subnet::parse("192.168.0.1/24")};
    input.card.configMethod = Method::manual(IPv4Address(192, 168, 0, 1), IPv4Address(255, 255, 255, 0));
    input.config = config();
    input.otherAddresses = {{"en7", *Subnet::parse("192.168.0.1/24"), false},
                            {"lo", *Subnet::parse("127.0.0.1/8"), false}};
    return input;
}

const PreflightCheck* row(const std::vector<PreflightCheck>& rows, ID id) {
    for (const auto& r : rows)
        if (r.id == id) return &r;
    return nullptr;
}

TEST(PreflightTest, readyCardPassesEveryRowInOrder) {
    auto rows = Preflight::evaluate(readyInput(), Platform::macOS);
    std::vector<PreflightCheck> expected{
        {ID::wired, Status::pass, "Wired card, not the Mac's internet route", {}},
        {ID::foreignDHCP, Status::pass, "No other DHCP server has configured this card", {}},
        {ID::adapterConfigured, Status::pass, "USB LAN is set to 192.168.0.1/24", {}},
        {ID::subnetOverlap, Status::pass, "No overlap with other networks", {}},
        {ID::port67, Status::pass, "Port 67 is free", {}},
        {ID::link, Status::pass, "Link up \u00b7 1000baseT full-duplex", {}},
    };
    EXPECT_EQ(rows, expected);
    EXPECT_TRUE(Preflight::canStart(rows));
}

TEST(PreflightTest, wiredAndForeignDHCPRows) {
    auto input = readyInput();
    input.card.kind = NetworkCard::Kind::wifi;
    input.card.displayName = "Wi-Fi";
    EXPECT_EQ(row(Preflight::evaluate(input, Platform::macOS), ID::wired)->message, "Wi-Fi is not a wired card.");
    input = readyInput();
    input.card.isPrimary = true;
    auto wired = *row(Preflight::evaluate(input, Platform::macOS), ID::wired);
    EXPECT_EQ(wired.status, Status::fail);
    EXPECT_EQ(wired.message, "USB LAN is the Mac's main internet connection.");

    input = readyInput();
    input.card.configMethod = Method::dhcp();
    input.card.addresses = {*Subnet::parse("169.254.10.20/16")};
    EXPECT_EQ(row(Preflight::evaluate(input, Platform::macOS), ID::foreignDHCP)->status, Status::pass);
    input.card.addresses.push_back(*Subnet::parse("10.0.0.5/8"));
    auto rows = Preflight::evaluate(input, Platform::macOS);
    EXPECT_EQ(row(rows, ID::foreignDHCP)->message,
              "This card is on a network that already has a DHCP server (it got 10.0.0.5).");
    EXPECT_EQ(row(rows, ID::adapterConfigured)->fix, PreflightCheck::Fix{"USB LAN"});
    EXPECT_FALSE(Preflight::canStart(rows));
}

TEST(PreflightTest, adapterConfiguredNeedsAddressAndMask) {
    auto input = readyInput();
    input.card.configMethod = Method::manual(IPv4Address(192, 168, 0, 1), IPv4Address(255, 255, 0, 0));
    auto wrongMask = *row(Preflight::evaluate(input, Platform::macOS), ID::adapterConfigured);
    EXPECT_EQ(wrongMask, (PreflightCheck{ID::adapterConfigured, Status::fail, "Card isn't set to 192.168.0.1/24",
                                         PreflightCheck::Fix{"USB LAN"}}));
    input.card.serviceName.reset();
    auto noService = *row(Preflight::evaluate(input, Platform::macOS), ID::adapterConfigured);
    EXPECT_EQ(noService.message, "No network service for en7. Add it in System Settings > Network.");
    EXPECT_EQ(noService.fix, std::nullopt);
    input = readyInput();
    input.card.serviceName.reset();
    EXPECT_EQ(row(Preflight::evaluate(input, Platform::macOS), ID::adapterConfigured)->message,
              "en7 is set to 192.168.0.1/24");
}

TEST(PreflightTest, overlapsWithOtherNetworksAndVPNs) {
    auto input = readyInput();
    input.otherAddresses.push_back({"en7", *Subnet::parse("192.168.0.77/16"), false});
    input.otherAddresses.push_back({"lo", *Subnet::parse("192.168.0.77/16"), false});
    input.otherAddresses.push_back({"utun3", *Subnet::parse("192.168.0.9/32"), true});
    auto rows = Preflight::evaluate(input, Platform::macOS);
    EXPECT_EQ(row(rows, ID::subnetOverlap)->status, Status::pass);
    EXPECT_EQ(*row(rows, ID::vpnOverlap),
              (PreflightCheck{
                  ID::vpnOverlap, Status::warn, "VPN address 192.168.0.9 on utun3 is inside 192.168.0.0/24", {}}));
    EXPECT_TRUE(Preflight::canStart(rows));

    input.otherAddresses.push_back({"en5", *Subnet::parse("192.168.0.77/16"), false});
    EXPECT_EQ(row(Preflight::evaluate(input, Platform::macOS), ID::subnetOverlap)->message,
              "192.168.0.0/24 overlaps en5 (192.168.0.0/16)");

    input = readyInput();
    input.config = config("192.168.0.1", 0);
    input.otherAddresses = {{"en5", *Subnet::parse("10.1.2.3/8"), false},
                            {"ppp0", *Subnet::parse("172.16.0.1/32"), true}};
    rows = Preflight::evaluate(input, Platform::macOS);
    EXPECT_EQ(row(rows, ID::subnetOverlap)->message, "0.0.0.0/0 overlaps en5 (10.0.0.0/8)");
    EXPECT_EQ(row(rows, ID::vpnOverlap)->message, "VPN address 172.16.0.1 on ppp0 is inside 0.0.0.0/0");
}

// On Linux the rows that name macOS features say what is true there; the others are the same.
TEST(PreflightTest, linuxWordsOnLinux) {
    auto primary = readyInput();
    primary.card.isPrimary = true;
    auto noService = readyInput();
    noService.card.serviceName.reset();
    noService.card.configMethod = Method::none();
    auto portTaken = readyInput();
    portTaken.port67 = Port67State::inUse("dnsmasq:812");
    struct Case {
        PreflightInput input;
        ID id;
        std::string macOS, linux;
    } cases[] = {
        {readyInput(), ID::wired, "Wired card, not the Mac's internet route",
         "Wired card, not this computer's internet route"},
        {primary, ID::wired, "USB LAN is the Mac's main internet connection.",
         "USB LAN is this computer's main internet connection."},
        {noService, ID::adapterConfigured, "No network service for en7. Add it in System Settings > Network.",
         "No network service for en7. Add a wired connection for it in the network settings."},
        {portTaken, ID::port67,
         "Port 67 is in use by dnsmasq:812. Turn off Internet Sharing or stop the VM's shared network.",
         "Port 67 is in use by dnsmasq:812. Stop the program that serves DHCP there (dnsmasq, libvirt's network, a "
         "NetworkManager shared connection)."},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(row(Preflight::evaluate(c.input, Platform::macOS), c.id)->message, c.macOS);
        EXPECT_EQ(row(Preflight::evaluate(c.input, Platform::gnuLinux), c.id)->message, c.linux);
    }
    EXPECT_EQ(Notice::localNetworkDenied(Platform::gnuLinux).message,
              "This computer refuses to send DHCP Anvil's replies. A firewall or routing rule is blocking DHCP "
              "broadcasts, so no device can get an address.");
    EXPECT_EQ(Notice::portInUse(std::nullopt, Platform::gnuLinux).message,
              "Port 67 is in use by another program. Stop the program that serves DHCP there (dnsmasq, libvirt's "
              "network, a NetworkManager shared connection).");
}

TEST(PreflightTest, portLinkAndVMwareRows) {
    struct Case {
        Port67State state;
        std::string message;
    } cases[] = {
        {Port67State::inUse("dnsmasq:812"),
         "Port 67 is in use by dnsmasq:812. Turn off Internet Sharing or stop the VM's shared network."},
        {Port67State::inUse(std::nullopt),
         "Port 67 is in use by another program. Turn off Internet Sharing or stop the VM's shared network."},
        {Port67State::failed("Permission denied"), "Port 67 can't be opened: Permission denied"},
    };
    for (const auto& c : cases) {
        auto input = readyInput();
        input.port67 = c.state;
        auto rows = Preflight::evaluate(input, Platform::macOS);
        EXPECT_EQ(row(rows, ID::port67)->message, c.message);
        EXPECT_FALSE(Preflight::canStart(rows));
    }
    auto input = readyInput();
    input.card.media.reset();
    EXPECT_EQ(row(Preflight::evaluate(input, Platform::macOS), ID::link)->message, "Link up \u00b7 connected");
    input.card.linkUp = false;
    input.vmwareRunning = true;
    auto rows = Preflight::evaluate(input, Platform::macOS);
    EXPECT_EQ(*row(rows, ID::link),
              (PreflightCheck{ID::link, Status::warn, "No link: the server will start and wait for a device", {}}));
    EXPECT_EQ(rows.back(),
              (PreflightCheck{ID::vmware, Status::warn, "VMware Fusion is running and may grab the adapter", {}}));
    EXPECT_EQ(rows.size(), 7u);
    EXPECT_TRUE(Preflight::canStart(rows));
    EXPECT_TRUE(Preflight::canStart({}));
}

TEST(PreflightTest, holderInSocketTable) {
    const char* netstat =
        "Active Internet connections (including servers)\n"
        "Proto Recv-Q Send-Q  Local Address          Foreign Address        (state)      rhiwat  shiwat    pid   epid\n"
        "udp4       0      0  *.6767                 *.*                               786896   9216  other:1     0\n"
        "udp4       0      0  *.67  *.*\n"
        "udp4       0      0  *.67                   *.*                               786896   9216  *:123  0\n"
        "udp4       0      0  192.168.2.1.67         *.*                               786896   9216  bootpd:4242  0\n";
    EXPECT_EQ(Preflight::holder(netstat, 67), "bootpd:4242");
    EXPECT_EQ(Preflight::holder(netstat, 6767), "other:1");
    EXPECT_EQ(Preflight::holder(netstat, 68), std::nullopt);
    EXPECT_EQ(Preflight::holder("a  b  c  d.67\n", 67), std::nullopt);
    EXPECT_EQ(Preflight::holder("", 67), std::nullopt);
    // DHCP Anvil's own programs holding the port are another run of it, not another program; the
    // kernel keeps 15 bytes of a program's name.
    const std::pair<std::string, std::string> own[] = {
        {"dhcpanvil-helpe:812", "another DHCP Anvil (dhcpanvil-helper, process 812)"},
        {"dhcpanvil-helper:812", "another DHCP Anvil (dhcpanvil-helper, process 812)"},
        {"dhcpanvil:9", "another DHCP Anvil (dhcpanvil, process 9)"},
        {"DHCPAnvilApp:10", "another DHCP Anvil (DHCPAnvilApp, process 10)"},
        {"dhcpanvil-x:11", "dhcpanvil-x:11"},
        {"mydhcpanvil:12", "mydhcpanvil:12"},
    };
    for (const auto& [column, shown] : own)
        EXPECT_EQ(Preflight::holder("udp4  0  0  *.69  *.*  " + column + "\n", 69), shown) << column;
}

TEST(PreflightTest, socketTableFromProcReadsBackThroughTheParser) {
    const char* udp =
        "   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode ref pointer "
        "drops\n"
        "  101: 00000000:0043 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 4242 2 0 0\n"
        "  102: 0100007F:1A6F 00000000:0000 07 00000000:00000000 00:00000000 00000000     0        0 777 2 0 0\n"
        "  103: 00000000:0045 00000000:0000 07 00000000:00000000 00:00000000 00000000 65534        0 888 2 0 0\n";
    const char* udp6 =
        "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
        "tm->when retrnsmt   uid  timeout inode ref pointer drops\n"
        "  7: 00000000000000000000000001000000:0043 00000000000000000000000000000000:0000 07 00000000:00000000 "
        "00:00000000 00000000     0        0 5151 2 0 0\n";
    std::map<std::uint64_t, Preflight::SocketOwner> owners{{5151, {"my  server", 99}}};
    auto table = Preflight::socketTable(udp, udp6, 67, owners);
    EXPECT_EQ(table, "udp4  0  0  *.67  *.*\nudp6  0  0  ::1.67  *.*  my server:99\n");
    EXPECT_EQ(Preflight::holder(table, 67), "my server:99");
    EXPECT_EQ(Preflight::socketInodes(udp, 67), (std::vector<std::uint64_t>{4242}));
    EXPECT_EQ(Preflight::socketUsers(udp, 69), (std::map<std::uint64_t, std::uint64_t>{{888, 65534}}));
    EXPECT_EQ(Preflight::socketTable(udp, "", 6767, {{777, {"dnsmasq", 5}}}),
              "udp4  0  0  127.0.0.1.6767  *.*  dnsmasq:5\n");
}

}  // namespace
}  // namespace anvil
