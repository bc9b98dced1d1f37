#pragma once
// Whether a datagram on the server port comes from a device: a client sends from the client port,
// and on a card never from one of this computer's own addresses or loopback (that would be a local
// program, which cannot bind the privileged client port but can reach the card's port 67).
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_set>

#include "core/addressing/ipv4_address.hpp"

namespace anvil {

struct DatagramSource {
    IPv4Address address;
    std::uint16_t port = 0;
};

struct SourceRules {
    // 68, or the loopback mode's client port.
    std::uint16_t clientPort = 68;
    // On a card this computer's own addresses are refused; in loopback mode every client is local.
    bool onCard = true;
};

// The reason to drop the datagram, or nothing when a device may have sent it.
std::optional<std::string> sourceRefusal(const DatagramSource& source, const SourceRules& rules,
                                         const std::unordered_set<IPv4Address>& ownAddresses);

// On a card, whether a datagram arrived on it rather than on another card bound to the same port.
struct ArrivalCheck {
    std::optional<std::string> refusal;
    // The system did not say where it arrived: the socket's binding to the card is relied on,
    // which the user is told once.
    std::optional<std::string> unchecked;
};

ArrivalCheck checkArrival(std::optional<std::uint32_t> arrivedOn, std::uint32_t cardIndex, const std::string& cardName,
                          const std::function<std::string(std::uint32_t index)>& nameOf);

}  // namespace anvil
