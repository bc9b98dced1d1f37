#include "tools/loopback_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/host/socket_address.hpp"
#include "core/dhcp/option_code.hpp"
#include "core/dhcp/packet_error.hpp"
#include "tools/client_messages.hpp"

namespace anvil::load {

namespace {

sockaddr_in loopbackAddress(std::uint16_t port) { return socketAddress(IPv4Address::loopback, port); }

DHCPPacket clientPacket(const MACAddress& mac, std::uint32_t xid, DHCPMessageType type) {
    DHCPPacket packet;
    packet.xid = xid;
    std::copy(mac.bytes.begin(), mac.bytes.end(), packet.chaddr.begin());
    packet.setOption(OptionCode::messageType, {rawValue(type)});
    return packet;
}

}  // namespace

DHCPPacket discover(const MACAddress& mac, std::uint32_t xid) {
    auto packet = clientPacket(mac, xid, DHCPMessageType::discover);
    packet.setOption(OptionCode::parameterList, {OptionCode::subnetMask, OptionCode::router, OptionCode::dns});
    return packet;
}

DHCPPacket selectingRequest(const MACAddress& mac, std::uint32_t xid, IPv4Address offered, IPv4Address server) {
    auto packet = clientPacket(mac, xid, DHCPMessageType::request);
    packet.setOption(OptionCode::requestedIP, offered.bytes());
    packet.setOption(OptionCode::serverID, server.bytes());
    return packet;
}

DHCPPacket renewingRequest(const MACAddress& mac, std::uint32_t xid, IPv4Address bound) {
    auto packet = clientPacket(mac, xid, DHCPMessageType::request);
    packet.ciaddr = bound;
    return packet;
}

DHCPPacket release(const MACAddress& mac, std::uint32_t xid, IPv4Address bound, IPv4Address server) {
    auto packet = clientPacket(mac, xid, DHCPMessageType::release);
    packet.ciaddr = bound;
    packet.setOption(OptionCode::serverID, server.bytes());
    return packet;
}

LoopbackClient::LoopbackClient(std::uint16_t serverPort, std::uint16_t clientPort) : serverPort_(serverPort) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) throw std::runtime_error(std::string("socket: ") + std::strerror(errno));
    auto address = loopbackAddress(clientPort);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        int code = errno;
        ::close(fd_);
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(clientPort) + ": " +
                                 std::strerror(code));
    }
    // Room for bursts of replies when many devices run at once.
    int buffer = 4 << 20;
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
}

LoopbackClient::~LoopbackClient() {
    if (fd_ >= 0) ::close(fd_);
}

void LoopbackClient::send(const DHCPPacket& packet) {
    auto bytes = packet.serialize(DHCPPacket::minimumReplyLength);
    auto target = loopbackAddress(serverPort_);
    ::sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
}

std::optional<DHCPPacket> LoopbackClient::receive(std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd waiting{fd_, POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(std::max<long long>(left.count(), 0))) != 1) return std::nullopt;
        std::uint8_t buffer[2048];
        auto length = ::recv(fd_, buffer, sizeof buffer, 0);
        if (length <= 0) continue;
        try {
            return DHCPPacket::parse({buffer, static_cast<std::size_t>(length)});
        } catch (const PacketError&) {
            // Not a DHCP message: keep waiting for one.
        }
    }
}

}  // namespace anvil::load
