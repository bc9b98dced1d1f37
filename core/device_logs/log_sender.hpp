#pragma once
// Where a log datagram came from, as the receiver saw it: the key that partial lines and the
// throttle are kept by. The hardware address tells apart devices that share a link-local address.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"

namespace anvil {

struct LogSender {
    IPv4Address address;
    std::uint16_t port = 0;
    // The frame's source, when the socket tells it.
    std::optional<MACAddress> mac;

    friend bool operator==(const LogSender&, const LogSender&) = default;
};

}  // namespace anvil

template <>
struct std::hash<anvil::LogSender> {
    std::size_t operator()(const anvil::LogSender& sender) const noexcept {
        auto folded = std::hash<anvil::IPv4Address>{}(sender.address) * 31 + sender.port;
        if (sender.mac) folded = folded * 31 + std::hash<anvil::MACAddress>{}(*sender.mac);
        return folded;
    }
};
