#pragma once
// Where a transport serves: one card's port 67, or the loopback test ports.
#include <cstdint>
#include <string>
#include <variant>

namespace anvil {

struct TransportMode {
    struct Interface {
        std::string name;
        friend bool operator==(const Interface&, const Interface&) = default;
    };
    struct Loopback {
        std::uint16_t serverPort = 6767;
        std::uint16_t clientPort = 6868;
        // The boot folder's TFTP requests, when serving one.
        std::uint16_t tftpPort = 6969;
        friend bool operator==(const Loopback&, const Loopback&) = default;
    };

    std::variant<Interface, Loopback> value;

    static TransportMode interface(std::string name) { return {Interface{std::move(name)}}; }
    static TransportMode loopback(std::uint16_t serverPort, std::uint16_t clientPort) {
        return {Loopback{serverPort, clientPort}};
    }

    bool isLoopback() const { return std::holds_alternative<Loopback>(value); }
    // The card's name, or the platform's loopback interface.
    std::string interfaceName() const;
    // The port clients send from and replies go to: 68 on a card, the chosen one in loopback mode.
    std::uint16_t clientPort() const;

    friend bool operator==(const TransportMode&, const TransportMode&) = default;
};

}  // namespace anvil
