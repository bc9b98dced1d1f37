// The TFTP server's sockets on loopback, and the IP_PKTINFO reader fed by hand.
#include "core/host/tftp_sockets.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace anvil {
namespace {

// Waits at most a few seconds for `fd` to become readable; a lost datagram fails, not hangs.
bool readable(int fd) {
    pollfd polled{fd, POLLIN, 0};
    return ::poll(&polled, 1, 5000) == 1;
}

int clientSocket() {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    return fd;
}

std::uint16_t portOf(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

TEST(TFTPSockets, ARequestOnLoopbackIsAnsweredFromANewPortOfTheAddressItWasSentTo) {
    auto opened = openTFTPLoopbackListener(0);
    ASSERT_TRUE(std::holds_alternative<TFTPListener>(opened)) << std::get<SocketFailure>(opened).description();
    auto listener = std::get<TFTPListener>(opened);
    EXPECT_NE(listener.port, 0);
    EXPECT_TRUE(::fcntl(listener.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(listener.fd, F_GETFD) & FD_CLOEXEC);

    std::vector<std::uint8_t> buffer(largestDatagram);
    EXPECT_TRUE(std::holds_alternative<NothingWaiting>(receiveDatagram(listener.fd, buffer)));

    int client = clientSocket();
    const std::vector<std::uint8_t> request{0, 1, 'f', 0, 'o', 'c', 't', 'e', 't', 0};
    ASSERT_EQ(sendDatagram(client, request, IPv4Address::loopback, listener.port), std::nullopt);
    ASSERT_TRUE(readable(listener.fd));
    auto received = receiveDatagram(listener.fd, buffer);
    ASSERT_TRUE(std::holds_alternative<ReceivedDatagram>(received));
    auto datagram = std::get<ReceivedDatagram>(received);
    EXPECT_EQ(std::vector<std::uint8_t>(buffer.begin(), buffer.begin() + static_cast<long>(datagram.length)), request);
    EXPECT_FALSE(datagram.truncated);
    EXPECT_EQ(datagram.source, IPv4Address::loopback);
    EXPECT_EQ(datagram.sourcePort, portOf(client));
    ASSERT_TRUE(datagram.arrival);
    EXPECT_EQ(datagram.arrival->localAddress, IPv4Address::loopback);
    EXPECT_EQ(datagram.arrival->destination, IPv4Address::loopback);
    EXPECT_EQ(datagram.arrival->interfaceIndex, ::if_nametoindex("lo"));

    auto transferOpened = openTransferSocket(datagram.arrival->localAddress, "");
    ASSERT_TRUE(std::holds_alternative<TransferSocket>(transferOpened));
    auto transfer = std::get<TransferSocket>(transferOpened);
    EXPECT_NE(transfer.port, 0);
    EXPECT_NE(transfer.port, listener.port);
    EXPECT_EQ(portOf(transfer.fd), transfer.port);
    EXPECT_TRUE(::fcntl(transfer.fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(::fcntl(transfer.fd, F_GETFD) & FD_CLOEXEC);

    // The answer comes from the transfer's port; a reply longer than the buffer says so.
    const std::vector<std::uint8_t> answer{0, 3, 0, 1, 'd', 'a', 't', 'a'};
    ASSERT_EQ(sendDatagram(transfer.fd, answer, datagram.source, datagram.sourcePort), std::nullopt);
    ASSERT_TRUE(readable(client));
    std::vector<std::uint8_t> small(4);
    auto reply = receiveDatagram(client, small);
    ASSERT_TRUE(std::holds_alternative<ReceivedDatagram>(reply));
    auto replied = std::get<ReceivedDatagram>(reply);
    EXPECT_EQ(replied.source, IPv4Address::loopback);
    EXPECT_EQ(replied.sourcePort, transfer.port);
    EXPECT_EQ(replied.length, 4u);
    EXPECT_TRUE(replied.truncated);
    EXPECT_EQ(replied.arrival, std::nullopt);  // the client never asked for IP_PKTINFO

    ::close(client);
    ::close(transfer.fd);
    ::close(listener.fd);
}

TEST(TFTPSockets, SocketFailuresAreValuesNamingTheOperation) {
    auto first = openTFTPLoopbackListener(0);
    ASSERT_TRUE(std::holds_alternative<TFTPListener>(first));
    auto held = std::get<TFTPListener>(first);

    std::vector<std::uint8_t> buffer(16);
    struct Row {
        std::string what;
        std::optional<SocketFailure> failure;
        SocketFailure expected;
    };
    auto failureOf = [](const auto& result) -> std::optional<SocketFailure> {
        if (auto failure = std::get_if<SocketFailure>(&result)) return *failure;
        return std::nullopt;
    };
    const Row rows[] = {
        {"a port in use",
         failureOf(openTFTPLoopbackListener(held.port)),
         {"bind 127.0.0.1:" + std::to_string(held.port), EADDRINUSE}},
        {"an address not this host's",
         failureOf(openTransferSocket(IPv4Address(192, 0, 2, 1), "")),
         {"bind 192.0.2.1:0", EADDRNOTAVAIL}},
        {"a missing card",
         failureOf(openTransferSocket(IPv4Address::loopback, "enmissing")),
         {"setsockopt SO_BINDTODEVICE", ENODEV}},
        {"a closed descriptor", failureOf(receiveDatagram(-1, buffer)), {"recvmsg", EBADF}},
        {"sending on a closed descriptor",
         sendDatagram(-1, buffer, IPv4Address::loopback, 9),
         {"send to 127.0.0.1:9", EBADF}},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(row.failure) << row.what;
        EXPECT_EQ(*row.failure, row.expected) << row.what << ": " << row.failure->description();
    }
    ::close(held.fd);
}

// A control block holding the given records, each (level, type, data) laid out as the kernel does.
std::vector<std::uint8_t> control(const std::vector<std::tuple<int, int, std::vector<std::uint8_t>>>& records) {
    std::vector<std::uint8_t> bytes;
    for (const auto& [level, type, data] : records) {
        std::vector<std::uint8_t> record(CMSG_SPACE(data.size()));
        cmsghdr header{};
        header.cmsg_len = CMSG_LEN(data.size());
        header.cmsg_level = level;
        header.cmsg_type = type;
        std::memcpy(record.data(), &header, sizeof header);
        std::memcpy(record.data() + CMSG_LEN(0), data.data(), data.size());
        bytes.insert(bytes.end(), record.begin(), record.end());
    }
    return bytes;
}

std::vector<std::uint8_t> pktinfo(int index, const char* local, const char* destination) {
    in_pktinfo info{};
    info.ipi_ifindex = index;
    ::inet_pton(AF_INET, local, &info.ipi_spec_dst);
    ::inet_pton(AF_INET, destination, &info.ipi_addr);
    std::vector<std::uint8_t> bytes(sizeof info);
    std::memcpy(bytes.data(), &info, sizeof info);
    return bytes;
}

TEST(TFTPSockets, PacketInfoIsReadOnlyFromAWholeRecord) {
    const PacketInfo expected{7, IPv4Address(10, 0, 0, 1), IPv4Address(10, 0, 0, 255)};
    auto good = control({{IPPROTO_IP, IP_PKTINFO, pktinfo(7, "10.0.0.1", "10.0.0.255")}});
    auto afterAnother =
        control({{IPPROTO_IP, IP_TTL, {64, 0, 0, 0}}, {IPPROTO_IP, IP_PKTINFO, pktinfo(7, "10.0.0.1", "10.0.0.255")}});
    auto cut = good;
    cut.resize(CMSG_LEN(sizeof(in_pktinfo)) - 1);
    auto shortRecord = control({{IPPROTO_IP, IP_PKTINFO, std::vector<std::uint8_t>(sizeof(int) + 4)}});
    auto lying = good;
    cmsghdr header{};
    std::memcpy(&header, lying.data(), sizeof header);
    header.cmsg_len = lying.size() + 64;
    std::memcpy(lying.data(), &header, sizeof header);
    auto otherLevel = control({{SOL_SOCKET, IP_PKTINFO, pktinfo(7, "10.0.0.1", "10.0.0.255")}});
    auto zeroLength = good;
    header.cmsg_len = 0;
    std::memcpy(zeroLength.data(), &header, sizeof header);

    struct Row {
        std::string what;
        std::vector<std::uint8_t> bytes;
        std::optional<PacketInfo> info;
    };
    const Row rows[] = {
        {"one record", good, expected},
        {"after another record", afterAnother, expected},
        {"empty", {}, std::nullopt},
        {"cut short", cut, std::nullopt},
        {"a record too short for its data", shortRecord, std::nullopt},
        {"a length past the block", lying, std::nullopt},
        {"a zero length", zeroLength, std::nullopt},
        {"another level", otherLevel, std::nullopt},
    };
    for (const auto& row : rows) EXPECT_EQ(readPacketInfo(row.bytes), row.info) << row.what;
}

}  // namespace
}  // namespace anvil
