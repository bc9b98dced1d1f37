#pragma once
// Asks whether anything answers at an address: one ICMP echo and TCP connects, bound to one card.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/addressing/bytes.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/presence_state.hpp"

namespace anvil {

class Prober {
public:
    // An empty name leaves the sockets unbound; a name that is no interface makes every probe silent.
    explicit Prober(std::string interfaceName) : interfaceName_(std::move(interfaceName)) {}

    const std::string& interfaceName() const { return interfaceName_; }
    std::vector<std::uint16_t> tcpPorts{80, 443};

    // Blocks for at most about `timeout` seconds; never fails, a probe nobody answers is silent.
    ProbeResult probe(IPv4Address ip, double timeout) const;

    static Bytes echoRequest(std::uint16_t identifier, std::uint16_t sequence);
    // RFC 1071 over the bytes, as a big-endian number.
    static std::uint16_t internetChecksum(std::span<const std::uint8_t> bytes);
    // Whether a datagram read from an ICMP socket is an echo reply from `ip`.
    static bool isEchoReply(std::span<const std::uint8_t> datagram, IPv4Address source, IPv4Address ip);

private:
    std::string interfaceName_;
};

}  // namespace anvil
