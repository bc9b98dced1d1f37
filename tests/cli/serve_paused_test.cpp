// `dhcpanvil serve` whose standard output nobody reads for a while, as in a paused terminal.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "core/dhcp/dhcp_packet.hpp"
#include "serve_process.hpp"
#include "tools/client_messages.hpp"

using namespace anvil;
namespace fs = std::filesystem;

namespace {

// Reads what the pipe holds now, waiting up to `milliseconds` for the first byte; false at its end.
bool readSome(int fd, std::string& into, int milliseconds) {
    pollfd waiting{fd, POLLIN, 0};
    if (poll(&waiting, 1, milliseconds) != 1) return true;
    char buffer[65536];
    auto length = read(fd, buffer, sizeof buffer);
    if (length <= 0) return false;
    into.append(buffer, static_cast<std::size_t>(length));
    return true;
}

}  // namespace

// The server goes on answering while its output waits, and once the output is read again it says
// how many lines it left out (loopback mode writes no log file, so the text does not point to one).
TEST(Serve, APausedTerminalIsToldWhatItMissedWhileTheServerGoesOnAnswering) {
    auto folder = fs::temp_directory_path() / ("anvil-paused-" + std::to_string(getpid()));
    fs::create_directories(folder);
    int device = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(device, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(device, reinterpret_cast<sockaddr*>(&address), &length);
    auto clientPort = ntohs(address.sin_port);
    auto port = freeLoopbackPort();

    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    pid_t child = fork();
    if (child == 0) {
        dup2(output[1], 1);
        int null = open("/dev/null", O_WRONLY);
        dup2(null, 2);
        std::string leases = (folder / "leases.json").string();
        execl(ANVIL_DHCPANVIL_PATH, ANVIL_DHCPANVIL_PATH, "serve", "--test-loopback", "--port",
              std::to_string(port).c_str(), "--client-port", std::to_string(clientPort).c_str(), "--leases",
              leases.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(output[1]);

    std::string printed;
    for (int turn = 0; turn < 500 && printed.find("START") == std::string::npos; ++turn)
        ASSERT_TRUE(readSome(output[0], printed, 10));
    ASSERT_NE(printed.find("START"), std::string::npos);

    // Far more lines than the pipe and the waiting events hold; every one is answered.
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int answered = 0;
    const MACAddress phone = *MACAddress::parse("02:de:00:00:00:07");
    for (std::uint32_t xid = 1; xid <= 3000; ++xid) {
        auto bytes = load::discover(phone, xid).serialize();
        sendto(device, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&server), sizeof server);
        pollfd waiting{device, POLLIN, 0};
        if (poll(&waiting, 1, 3000) != 1) break;
        Bytes reply(4096);
        if (recv(device, reply.data(), reply.size(), 0) > 0) ++answered;
    }
    EXPECT_EQ(answered, 3000);

    kill(child, SIGINT);
    for (int turn = 0; turn < 100'000 && readSome(output[0], printed, 100); ++turn) {
    }
    int status = 0;
    waitpid(child, &status, 0);
    close(output[0]);
    close(device);
    fs::remove_all(folder);

    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto missed = printed.find("lines not shown");
    ASSERT_NE(missed, std::string::npos) << printed.size();
    EXPECT_EQ(printed.find("lines not shown", missed + 1), std::string::npos) << "told once";
    EXPECT_EQ(printed.find("the log file has them"), std::string::npos);
    EXPECT_NE(printed.rfind("STOP"), std::string::npos);
    EXPECT_GT(printed.rfind("STOP"), missed);
}
