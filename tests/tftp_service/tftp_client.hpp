#pragma once
// A small TFTP client written with the codec's encoders, for tests that fetch over loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/tftp/tftp_packet.hpp"

namespace anvil::testing {

using namespace std::chrono_literals;

// A TFTP client on its own loopback address, so that several can count as different devices.
struct Client {
    int fd = -1;
    IPv4Address address;
    std::uint16_t serverPort = 0;

    Client(IPv4Address address, std::uint16_t serverPort) : address(address), serverPort(serverPort) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(address.value);
        EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
    }
    ~Client() { ::close(fd); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void send(const Bytes& bytes, std::uint16_t port) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_port = htons(port);
        target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }

    struct Received {
        TFTPPacket packet;
        std::uint16_t fromPort = 0;
    };

    // Bounded so that a server that never answers fails the test instead of hanging it.
    std::optional<Received> receive(std::chrono::milliseconds limit = 5s) {
        pollfd wanted{fd, POLLIN, 0};
        if (::poll(&wanted, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
        std::vector<std::uint8_t> buffer(65536);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        auto count = ::recvfrom(fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (count < 0) return std::nullopt;
        auto parsed = parseTFTPPacket(buffer.data(), static_cast<std::size_t>(count));
        if (!std::holds_alternative<TFTPPacket>(parsed)) return std::nullopt;
        return Received{std::get<TFTPPacket>(parsed), ntohs(from.sin_port)};
    }

    struct Fetched {
        Bytes contents;
        std::optional<TFTPError> error;
        bool complete = false;
    };

    // A whole read: acknowledges the options, then each full window and the last block.
    Fetched fetch(const std::string& name, const TFTPOptions& options = {}) {
        Fetched fetched;
        send(encodeTFTPReadRequest(name, "octet", options), serverPort);
        std::uint16_t blockSize = 512;
        std::uint16_t window = 1;
        std::uint16_t expected = 1;
        std::uint16_t transferPort = 0;
        for (int packets = 0; packets < 2'000'000; ++packets) {
            auto received = receive();
            if (!received) return fetched;
            if (auto error = std::get_if<TFTPError>(&received->packet)) {
                fetched.error = *error;
                return fetched;
            }
            transferPort = received->fromPort;
            if (auto ack = std::get_if<TFTPOptionAck>(&received->packet)) {
                for (const auto& option : ack->options) {
                    if (option.name == "blksize") blockSize = static_cast<std::uint16_t>(std::stoi(option.value));
                    if (option.name == "windowsize") window = static_cast<std::uint16_t>(std::stoi(option.value));
                }
                send(encodeTFTPAck(0), transferPort);
                continue;
            }
            auto data = std::get_if<TFTPData>(&received->packet);
            if (!data || data->block != expected) continue;  // a retransmission or out of order
            fetched.contents.insert(fetched.contents.end(), data->payload.begin(), data->payload.end());
            bool last = data->payload.size() < blockSize;
            if (last || expected % window == 0) send(encodeTFTPAck(expected), transferPort);
            ++expected;  // wraps from 65535 to 0, as the server's blocks do
            if (last) {
                fetched.complete = true;
                return fetched;
            }
        }
        return fetched;
    }
};

}  // namespace anvil::testing
