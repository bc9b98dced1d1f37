// A plain BOOTREQUEST, sent from a socket in the client namespace, against `dhcpanvil serve` on a veth card.
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

// A UDP socket on port 68 of the client's card, made inside its namespace; this thread goes back after.
int clientSocket(const std::string& ns) {
    int home = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int there = ::open(("/var/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    int fd = -1;
    if (home >= 0 && there >= 0 && ::setns(there, CLONE_NEWNET) == 0) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int on = 1;
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(68);
        if (fd >= 0 && (::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
                        ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, "cli0", 4) != 0 ||
                        ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)) {
            ::close(fd);
            fd = -1;
        }
        ::setns(home, CLONE_NEWNET);
    }
    if (home >= 0) ::close(home);
    if (there >= 0) ::close(there);
    return fd;
}

// Broadcasts a BOOTREQUEST without option 53 and returns the first reply to its xid within two seconds.
std::optional<Bytes> askByBOOTP(int fd, const std::string& mac, std::uint32_t xid) {
    DHCPPacket request;
    request.xid = xid;
    auto hardware = *MACAddress::parse(mac);
    std::copy(hardware.bytes.begin(), hardware.bytes.end(), request.chaddr.begin());
    auto bytes = request.serialize(DHCPPacket::minimumReplyLength);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(67);
    server.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    if (::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server) < 0)
        return std::nullopt;
    Bytes reply(1500);
    pollfd waiting{fd, POLLIN, 0};
    while (::poll(&waiting, 1, 2000) == 1) {
        auto got = ::recv(fd, reply.data(), reply.size(), 0);
        if (got < 240) continue;
        reply.resize(static_cast<std::size_t>(got));
        if (reply[0] == 2 && DHCPPacket::parse(reply).xid == xid) return reply;
        reply.resize(1500);
    }
    return std::nullopt;
}

class BOOTPTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "end-to-end tests need root to create network namespaces";
        bench = std::make_unique<Namespaces>();
        if (!bench->error.empty()) GTEST_SKIP() << "cannot build the namespaces: " << bench->error;
        socket = clientSocket(bench->clientNS);
        ASSERT_GE(socket, 0) << "no socket on port 68 in " << bench->clientNS;
        std::filesystem::create_directories(temp / "boot");
        writeFile(temp / "boot/pxelinux.0", "boot");
    }
    void TearDown() override {
        if (HasFailure() && server) std::printf("server output:\n%s", server->output().c_str());
        if (socket >= 0) ::close(socket);
        server.reset();
        bench.reset();
    }

    void serve(const std::vector<std::string>& extra) {
        server.reset();
        std::vector<std::string> command{ANVIL_DHCPANVIL_PATH, "serve", "--iface", bench->card, "--server",
                                         "10.66.0.1/24", "--range", "10.66.0.100-10.66.0.120", "--leases",
                                         temp / "leases.json", "--json"};
        command.insert(command.end(), extra.begin(), extra.end());
        server = std::make_unique<Child>(bench->serverNS, command,
                                         std::vector<std::string>{"HOME=" + temp.path.string(),
                                                                  "XDG_STATE_HOME=" + (temp / "state"),
                                                                  "XDG_DATA_HOME=" + (temp / "data")});
        ASSERT_GE(server->waitForLine(R"("event":"started")", 10s), 0) << server->output();
    }

    TempFolder temp;
    std::unique_ptr<Namespaces> bench;
    std::unique_ptr<Child> server;
    int socket = -1;
};

TEST_F(BOOTPTest, aBootRequestGetsABootReplyUnlessBOOTPIsOff) {
    serve({"--boot", temp / "boot", "--boot-file", "pxelinux.0"});
    auto wire = askByBOOTP(socket, bench->clientMAC, 0xb007);
    ASSERT_TRUE(wire) << "no BOOTREPLY";
    auto reply = DHCPPacket::parse(*wire);
    auto yiaddr = reply.yiaddr.value;
    EXPECT_TRUE(yiaddr >= IPv4Address(10, 66, 0, 100).value && yiaddr <= IPv4Address(10, 66, 0, 120).value)
        << reply.yiaddr.description();
    // RFC 1497: at least 64 bytes of vendor area, opening with the magic cookie and the subnet mask.
    ASSERT_GE(wire->size(), DHCPPacket::headerLength + 64);
    EXPECT_TRUE(std::equal(DHCPPacket::magicCookie.begin(), DHCPPacket::magicCookie.end(),
                           wire->begin() + DHCPPacket::headerLength));
    ASSERT_FALSE(reply.options.empty());
    EXPECT_EQ(reply.options[0].code, 1);
    EXPECT_EQ(reply.messageType(), std::nullopt);
    EXPECT_EQ(reply.option(53), std::nullopt);
    EXPECT_EQ(reply.siaddr, IPv4Address(10, 66, 0, 1));
    EXPECT_EQ(reply.file, "pxelinux.0");
    EXPECT_GE(server->waitForLine(R"("type":"BOOTP")", 2s), 0);

    serve({"--no-bootp"});
    EXPECT_FALSE(askByBOOTP(socket, bench->clientMAC, 0xb008));
    EXPECT_GE(server->waitForLine(R"("event":"dropped","label":"DROP","text":"BOOTP request (not served) )" +
                                      bench->clientMAC,
                                  2s),
              0);
}

}  // namespace
}  // namespace anvil::field
