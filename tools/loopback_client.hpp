#pragma once
// A UDP socket on 127.0.0.1 at the client port, talking to a server's loopback test port.
#include <chrono>
#include <cstdint>
#include <optional>

#include "core/dhcp/dhcp_packet.hpp"

namespace anvil::load {

class LoopbackClient {
public:
    // Throws std::runtime_error with the system's text when the client port cannot be bound.
    LoopbackClient(std::uint16_t serverPort, std::uint16_t clientPort);
    ~LoopbackClient();
    LoopbackClient(const LoopbackClient&) = delete;
    LoopbackClient& operator=(const LoopbackClient&) = delete;

    void send(const DHCPPacket& packet);
    // The next reply that parses, or nothing when none arrives in time.
    std::optional<DHCPPacket> receive(std::chrono::milliseconds timeout);

private:
    int fd_ = -1;
    std::uint16_t serverPort_;
};

}  // namespace anvil::load
