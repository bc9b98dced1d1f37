#pragma once
// Why a reply could not be sent, judged from the error and what is known of the card.
#include <string>
#include <variant>

#include "core/addressing/ipv4_address.hpp"
#include "core/dhcp_service/transport_error.hpp"

namespace anvil {

struct SendFailure {
    enum class Kind { other, linkDown, addressMissing, possiblyDenied };
    Kind kind = Kind::other;
    std::string text;  // other: the transport error's printable form

    friend bool operator==(const SendFailure&, const SendFailure&) = default;
};

// What the server does about a reply that could not be sent.
struct SendFailureStep {
    enum class Kind { line, retry, notice };
    Kind kind = Kind::line;
    std::string line;  // line: the text to show

    friend bool operator==(const SendFailureStep&, const SendFailureStep&) = default;
};

struct FailedSend {
    std::string type;   // the reply's message type, as shown
    std::string error;  // the transport error's printable form
    IPv4Address serverIP;
    std::string interfaceName;
    bool firstTry = true;   // a retry that is refused again raises the notice
    bool retryRoom = true;  // fewer replies wait for their retry than their bound
};

namespace LocalNetwork {

// The "network is not there" errors mean link down, a missing server address, or, with both
// present, the system refusing local-network traffic to this program.
SendFailure classify(const TransportError& error, bool linkUp, bool serverAddressPresent);

// A refusal may be the system's one-time prompt still open: the reply is tried once more, and
// only a second refusal tells the user.
SendFailureStep stepAfter(const SendFailure& failure, const FailedSend& send);

// Connects a UDP socket towards an address on the card so that a privacy prompt, where the
// system has one, appears before the first reply is due. Nothing is sent; failures are ignored.
void triggerAlert(const std::string& interfaceName, IPv4Address nearby);

}  // namespace LocalNetwork

}  // namespace anvil
