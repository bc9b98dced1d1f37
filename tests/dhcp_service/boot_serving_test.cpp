// The boot folder's TFTP server lives and dies with the DHCP server that serves it.
#include <gtest/gtest.h>

#include <fstream>
#include <poll.h>

#include "core/tftp/tftp_packet.hpp"
#include "core/tftp_service/tftp_service.hpp"
#include "server_harness.hpp"

using namespace anvil;
using namespace anvil::testing;

namespace {

// A UDP socket on 127.0.0.1; `port` 0 picks a free one.
int loopbackSocket(std::uint16_t port = 0) {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::uint16_t portOf(int fd) {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

// A port free a moment ago.
std::uint16_t freePort() {
    int fd = loopbackSocket();
    auto port = portOf(fd);
    ::close(fd);
    return port;
}

// The first answer to a read request of `name`, or nothing.
std::optional<TFTPPacket> askFor(std::uint16_t port, const std::string& name) {
    int fd = loopbackSocket();
    auto request = encodeTFTPReadRequest(name, "octet");
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
    pollfd wanted{fd, POLLIN, 0};
    std::optional<TFTPPacket> answer;
    if (::poll(&wanted, 1, 3000) == 1) {
        std::uint8_t buffer[2048];
        auto count = ::recv(fd, buffer, sizeof buffer, 0);
        if (count > 0) {
            auto parsed = parseTFTPPacket(buffer, static_cast<std::size_t>(count));
            if (auto packet = std::get_if<TFTPPacket>(&parsed)) answer = *packet;
        }
    }
    ::close(fd);
    return answer;
}

struct BootBench : ServerHarness {
    std::uint16_t tftpPort = freePort();

    BootBench() {
        std::filesystem::create_directories(directory / "boot");
        std::ofstream(directory / "boot" / "ipxe.efi") << "not really iPXE";
        config.boot = BootConfig{(directory / "boot").string(), {}, {}, 1468};
        mode = TransportMode{TransportMode::Loopback{6767, 6868, tftpPort}};
    }
};

TEST(BootServing, TheFolderIsServedFromStartToStop) {
    BootBench bench;
    bench.start();
    auto answer = askFor(bench.tftpPort, "ipxe.efi");
    ASSERT_TRUE(answer);
    auto data = std::get_if<TFTPData>(&*answer);
    ASSERT_TRUE(data);
    EXPECT_EQ(std::string(data->payload.begin(), data->payload.end()), "not really iPXE");
    // The request is told through the server's own events.
    auto taken = bench.until([](const ServerEvent& event) { return event.is<ServerEvent::TFTPRequested>(); });
    ASSERT_FALSE(taken.empty());
    EXPECT_EQ(taken.back().as<ServerEvent::TFTPRequested>()->file, "ipxe.efi");

    bench.server->stop();
    // The port is free again: nothing of the TFTP server outlives the DHCP server's stop.
    int again = loopbackSocket(bench.tftpPort);
    EXPECT_GE(again, 0);
    if (again >= 0) ::close(again);
}

TEST(BootServing, ATakenTFTPPortStopsTheStartAndSaysWhich) {
    BootBench bench;
    int holder = loopbackSocket(bench.tftpPort);
    ASSERT_GE(holder, 0);
    try {
        bench.start();
        ADD_FAILURE() << "started with the TFTP port taken";
    } catch (const TFTPStartError& error) {
        EXPECT_EQ(error.code, EADDRINUSE);
        EXPECT_NE(std::string(error.what()).find(std::to_string(bench.tftpPort)), std::string::npos) << error.what();
    }
    ::close(holder);
}

TEST(BootServing, WithoutABootFolderNoTFTPPortIsOpened) {
    BootBench bench;
    bench.config.boot.reset();
    bench.start();
    int probe = loopbackSocket(bench.tftpPort);
    EXPECT_GE(probe, 0);
    if (probe >= 0) ::close(probe);
    bench.server->stop();
}

}  // namespace
