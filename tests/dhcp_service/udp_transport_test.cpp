#include "core/dhcp_service/udp_transport.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

using namespace anvil;

namespace {

// A plain client socket on 127.0.0.1 standing in for a device.
struct LoopbackPeer {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    std::uint16_t port = 0;

    LoopbackPeer() {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        port = ntohs(address.sin_port);
    }
    ~LoopbackPeer() { ::close(fd); }

    void sendTo(std::uint16_t serverPort, const Bytes& bytes) const {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(serverPort);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }

    std::optional<Bytes> receive() const {
        pollfd waiting{fd, POLLIN, 0};
        if (::poll(&waiting, 1, 2000) != 1) return std::nullopt;
        Bytes buffer(4096);
        auto length = ::recv(fd, buffer.data(), buffer.size(), 0);
        if (length < 0) return std::nullopt;
        buffer.resize(static_cast<std::size_t>(length));
        return buffer;
    }
};

std::uint16_t freeUDPPort() {
    LoopbackPeer probe;
    return probe.port;
}

std::optional<Datagram> receiveWithin(UDPTransport& transport) {
    pollfd waiting{transport.fd(), POLLIN, 0};
    if (::poll(&waiting, 1, 2000) != 1) return std::nullopt;
    return transport.receive();
}

}  // namespace

TEST(UDPTransport, LoopbackModeReceivesWithTheArrivalInterfaceAndRepliesToTheClientPort) {
    LoopbackPeer client;
    auto serverPort = freeUDPPort();
    // The loopback test ports never need the helper, whoever runs the server.
    UDPTransport transport(TransportMode::loopback(serverPort, client.port), UDPTransport::Opener::helper);
    transport.open();
    EXPECT_GE(transport.fd(), 0);
    EXPECT_TRUE(::fcntl(transport.fd(), F_GETFD) & FD_CLOEXEC);
    EXPECT_NE(transport.interfaceIndex(), 0u);
    EXPECT_EQ(transport.receive(), std::nullopt);

    client.sendTo(serverPort, Bytes{1, 2, 3});
    auto datagram = receiveWithin(transport);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->bytes, (Bytes{1, 2, 3}));
    EXPECT_EQ(datagram->source, IPv4Address::loopback);
    EXPECT_EQ(datagram->sourcePort, client.port);
    EXPECT_EQ(datagram->interfaceIndex, transport.interfaceIndex());

    // Whatever the destination says, loopback replies go to 127.0.0.1 at the client port.
    transport.send(Bytes{9, 9}, ReplyDestination::broadcast());
    EXPECT_EQ(client.receive(), (Bytes{9, 9}));
    transport.send(Bytes{8}, ReplyDestination::unicast(IPv4Address{10, 1, 2, 3}));
    EXPECT_EQ(client.receive(), (Bytes{8}));

    transport.close();
    transport.close();
    EXPECT_EQ(transport.fd(), -1);
}

TEST(UDPTransport, CutsLongDatagramsToTheBufferSize) {
    LoopbackPeer client;
    auto serverPort = freeUDPPort();
    UDPTransport transport(TransportMode::loopback(serverPort, client.port));
    transport.open();
    client.sendTo(serverPort, Bytes(3000, 0xAB));
    auto datagram = receiveWithin(transport);
    ASSERT_TRUE(datagram);
    EXPECT_EQ(datagram->bytes.size(), 2048u);
}

TEST(UDPTransport, ReportsWhichOperationFailed) {
    UDPTransport missing(TransportMode::interface("enNoSuchCard9"));
    try {
        missing.open();
        FAIL() << "opened a card that does not exist";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.operation, "find interface enNoSuchCard9");
        EXPECT_EQ(error.code, ENXIO);
        EXPECT_EQ(error.description(),
                  "find interface enNoSuchCard9 failed: " + std::string(std::strerror(ENXIO)) + " (errno 6)");
    }
    EXPECT_EQ(missing.fd(), -1);

    auto serverPort = freeUDPPort();
    UDPTransport first(TransportMode::loopback(serverPort, 6868));
    first.open();
    UDPTransport second(TransportMode::loopback(serverPort, 6868));
    try {
        second.open();
        FAIL() << "two transports bound one port";
    } catch (const TransportError& error) {
        EXPECT_EQ(error.operation, "bind 127.0.0.1:" + std::to_string(serverPort));
        EXPECT_EQ(error.code, EADDRINUSE);
    }
    EXPECT_EQ(second.fd(), -1);
}

TEST(UDPTransport, ReleasingAnOpenTransportClosesItsSocket) {
    auto serverPort = freeUDPPort();
    {
        UDPTransport transport(TransportMode::loopback(serverPort, 6868));
        transport.open();
    }
    UDPTransport again(TransportMode::loopback(serverPort, 6868));
    EXPECT_NO_THROW(again.open());
}

TEST(ArrivalInterfaceIndex, ReadsThePacketInfoRecordAndSkipsOthers) {
    alignas(cmsghdr) std::uint8_t buffer[CMSG_SPACE(sizeof(int)) + CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr message{};
    message.msg_control = buffer;
    message.msg_controllen = sizeof buffer;
    cmsghdr* first = CMSG_FIRSTHDR(&message);
    first->cmsg_level = SOL_SOCKET;
    first->cmsg_type = SO_TIMESTAMP;
    first->cmsg_len = CMSG_LEN(sizeof(int));
    cmsghdr* second = CMSG_NXTHDR(&message, first);
    second->cmsg_level = IPPROTO_IP;
    second->cmsg_type = IP_PKTINFO;
    second->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo info{};
    info.ipi_ifindex = 7;
    std::memcpy(CMSG_DATA(second), &info, sizeof info);

    EXPECT_EQ(arrivalInterfaceIndex({buffer, sizeof buffer}), 7u);
    EXPECT_EQ(arrivalInterfaceIndex({buffer, CMSG_SPACE(sizeof(int))}), std::nullopt);
    EXPECT_EQ(arrivalInterfaceIndex({buffer, 5}), std::nullopt);
    // A record claiming more than is there ends the walk instead of reading past the buffer.
    first->cmsg_len = 4096;
    EXPECT_EQ(arrivalInterfaceIndex({buffer, sizeof buffer}), std::nullopt);
    first->cmsg_len = 0;
    EXPECT_EQ(arrivalInterfaceIndex({buffer, sizeof buffer}), std::nullopt);
}

TEST(ReplyDestination, PrintsTheAddressAndClientPort) {
    EXPECT_EQ(ReplyDestination::broadcast().description(), "255.255.255.255:68");
    EXPECT_EQ(ReplyDestination::unicast(IPv4Address{192, 168, 0, 50}).description(), "192.168.0.50:68");
    EXPECT_NE(ReplyDestination::broadcast(), ReplyDestination::unicast(IPv4Address::broadcast));
}
