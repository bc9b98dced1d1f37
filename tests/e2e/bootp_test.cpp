// A plain BOOTREQUEST from a socket in the client namespace against `dhcpanvil serve` on a veth card.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>

#include "core/dhcp/dhcp_packet.hpp"
#include "tests/e2e/field_bench.hpp"

namespace anvil::field {
namespace {

// Broadcasts a BOOTREQUEST (no option 53) from port 68 of cli0 in `ns`: the reply within two seconds.
std::optional<DHCPPacket> askByBOOTP(const std::string& ns, const std::string& mac, Bytes& wire) {
    // Made inside the namespace, the socket stays there when this thread goes back.
    int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int there = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    int fd = ::setns(there, CLONE_NEWNET) == 0 ? ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0) : -1;
    ::setns(home, CLONE_NEWNET);
    ::close(home);
    ::close(there);
    int on = 1;
    sockaddr_in local{}, server{};
    local.sin_family = server.sin_family = AF_INET;
    local.sin_port = htons(68);
    server.sin_port = htons(67);
    server.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, "cli0", 4);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    DHCPPacket request;
    auto hardware = *MACAddress::parse(mac);
    std::copy(hardware.bytes.begin(), hardware.bytes.end(), request.chaddr.begin());
    auto bytes = request.serialize(DHCPPacket::minimumReplyLength);
    ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    wire.assign(1500, 0);
    pollfd waiting{fd, POLLIN, 0};
    auto got = ::poll(&waiting, 1, 2000) == 1 ? ::recv(fd, wire.data(), wire.size(), 0) : -1;
    ::close(fd);
    if (got < 0) return std::nullopt;
    wire.resize(static_cast<std::size_t>(got));
    return DHCPPacket::parse(wire);
}

TEST(BOOTP, aBootRequestGetsABootReplyUnlessBOOTPIsOff) {
    if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
    TempFolder temp;
    Namespaces bench;
    if (!bench.error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench.error;
    std::filesystem::create_directories(temp / "boot");
    auto serve = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> command{ANVIL_DHCPANVIL_PATH, "serve", "--iface", bench.card, "--server",
                                         "10.66.0.1/24", "--range", "10.66.0.100-10.66.0.120", "--leases",
                                         temp / "leases.json", "--json"};
        command.insert(command.end(), extra.begin(), extra.end());
        auto server = std::make_unique<Child>(bench.serverNS, command,
                                              std::vector<std::string>{"HOME=" + temp.path.string(),
                                                                       "XDG_STATE_HOME=" + (temp / "state"),
                                                                       "XDG_DATA_HOME=" + (temp / "data")});
        EXPECT_GE(server->waitForLine(R"("event":"started")", 10s), 0) << server->output();
        return server;
    };

    auto server = serve({"--boot", temp / "boot", "--boot-file", "pxelinux.0"});
    Bytes wire;
    auto reply = askByBOOTP(bench.clientNS, bench.clientMAC, wire);
    ASSERT_TRUE(reply) << server->output();
    EXPECT_GE(reply->yiaddr.value, IPv4Address(10, 66, 0, 100).value);
    EXPECT_LE(reply->yiaddr.value, IPv4Address(10, 66, 0, 120).value);
    // RFC 1497: at least 64 bytes of vendor area, the magic cookie first, no DHCP message type.
    ASSERT_GE(wire.size(), DHCPPacket::headerLength + 64);
    EXPECT_TRUE(std::equal(DHCPPacket::magicCookie.begin(), DHCPPacket::magicCookie.end(),
                           wire.begin() + DHCPPacket::headerLength));
    EXPECT_EQ(reply->option(1), (Bytes{255, 255, 255, 0}));
    EXPECT_EQ(reply->option(53), std::nullopt);
    EXPECT_EQ(reply->siaddr, IPv4Address(10, 66, 0, 1));
    EXPECT_EQ(reply->file, "pxelinux.0");
    EXPECT_GE(server->waitForLine(R"("type":"BOOTP")", 2s), 0) << server->output();

    server.reset();
    server = serve({"--no-bootp"});
    EXPECT_FALSE(askByBOOTP(bench.clientNS, bench.clientMAC, wire));
    EXPECT_GE(server->waitForLine(R"("event":"dropped","label":"DROP","text":"BOOTP request (not served) )", 2s), 0)
        << server->output();
}

}  // namespace
}  // namespace anvil::field
