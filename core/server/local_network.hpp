#pragma once
// Why a reply could not be sent, judged from the error and what is known of the card.
#include <string>
#include <variant>

#include "core/addressing/ipv4_address.hpp"
#include "core/server/transport_error.hpp"

namespace anvil {

struct SendFailure {
    enum class Kind { other, linkDown, addressMissing, possiblyDenied };
    Kind kind = Kind::other;
    std::string text;  // other: the transport error's printable form

    friend bool operator==(const SendFailure&, const SendFailure&) = default;
};

namespace LocalNetwork {

// The "network is not there" errors mean link down, a missing server address, or, with both
// present, the system refusing local-network traffic to this program.
SendFailure classify(const TransportError& error, bool linkUp, bool serverAddressPresent);

// Connects a UDP socket towards an address on the card so that a privacy prompt, where the
// system has one, appears before the first reply is due. Nothing is sent; failures are ignored.
void triggerAlert(const std::string& interfaceName, IPv4Address nearby);

}  // namespace LocalNetwork

}  // namespace anvil
