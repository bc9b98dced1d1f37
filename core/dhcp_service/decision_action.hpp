#pragma once
// What the server must do after a decision: send a reply, probe an address and decide again, or nothing.
#include <optional>
#include <string>
#include <variant>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp/reply_destination.hpp"
#include "core/dhcp/reply_kind.hpp"

namespace anvil {

struct Reply {
    DHCPPacket packet;
    ReplyDestination destination;
    ReplyKind type = DHCPMessageType::offer;
    // The address the reply is about: the one handed out, or the client's own for INFORM and NAK.
    IPv4Address ip;
    MACAddress mac;
    std::optional<std::string> note;

    friend bool operator==(const Reply&, const Reply&) = default;
};

struct DecisionAction {
    struct Probe {
        IPv4Address ip;
        friend bool operator==(const Probe&, const Probe&) = default;
    };
    struct None {
        friend bool operator==(const None&, const None&) = default;
    };

    std::variant<Reply, Probe, None> value = None{};

    static DecisionAction reply(Reply reply) { return {std::move(reply)}; }
    static DecisionAction probe(IPv4Address ip) { return {Probe{ip}}; }
    static DecisionAction none() { return {None{}}; }

    const Reply* replyValue() const { return std::get_if<Reply>(&value); }
    std::optional<IPv4Address> probeAddress() const {
        if (auto probe = std::get_if<Probe>(&value)) return probe->ip;
        return std::nullopt;
    }
    bool isNone() const { return std::holds_alternative<None>(value); }

    friend bool operator==(const DecisionAction&, const DecisionAction&) = default;
};

}  // namespace anvil
