#pragma once
// One happening the server reports to its front ends; the only way the core tells anyone anything.
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/addressing/server_config.hpp"
#include "core/events/notice.hpp"
#include "core/events/packet_summary.hpp"
#include "core/events/sent_summary.hpp"
#include "core/addressing/presence_state.hpp"
#include "core/leases/lease.hpp"

namespace anvil {

struct ServerEvent {
    struct Started {
        std::string interface;
        ServerConfig config;
        friend bool operator==(const Started&, const Started&) = default;
    };
    struct Received {
        PacketSummary packet;
        friend bool operator==(const Received&, const Received&) = default;
    };
    struct Sent {
        SentSummary reply;
        friend bool operator==(const Sent&, const Sent&) = default;
    };
    struct Dropped {
        std::string reason;
        std::optional<MACAddress> mac;
        friend bool operator==(const Dropped&, const Dropped&) = default;
    };
    struct LeaseChanged {
        Lease lease;
        friend bool operator==(const LeaseChanged&, const LeaseChanged&) = default;
    };
    struct LeaseRemoved {
        MACAddress mac;
        friend bool operator==(const LeaseRemoved&, const LeaseRemoved&) = default;
    };
    struct Presence {
        IPv4Address ip;
        MACAddress mac;
        PresenceState state = PresenceState::unknown;
        std::string detail;
        friend bool operator==(const Presence&, const Presence&) = default;
    };
    struct Link {
        bool up = false;
        std::optional<std::string> media;
        friend bool operator==(const Link&, const Link&) = default;
    };
    struct NoticeRaised {
        Notice notice;
        friend bool operator==(const NoticeRaised&, const NoticeRaised&) = default;
    };
    struct NoticeCleared {
        NoticeKind kind = NoticeKind::linkDown;
        friend bool operator==(const NoticeCleared&, const NoticeCleared&) = default;
    };
    struct Info {
        std::string text;
        friend bool operator==(const Info&, const Info&) = default;
    };
    struct Stopped {
        friend bool operator==(const Stopped&, const Stopped&) = default;
    };

    using Case = std::variant<Started, Received, Sent, Dropped, LeaseChanged, LeaseRemoved, Presence, Link,
                              NoticeRaised, NoticeCleared, Info, Stopped>;

    Case value;

    static ServerEvent started(std::string interface, ServerConfig config) {
        return {Started{std::move(interface), std::move(config)}};
    }
    static ServerEvent received(PacketSummary packet) { return {Received{std::move(packet)}}; }
    static ServerEvent sent(SentSummary reply) { return {Sent{std::move(reply)}}; }
    static ServerEvent dropped(std::string reason, std::optional<MACAddress> mac) {
        return {Dropped{std::move(reason), mac}};
    }
    static ServerEvent leaseChanged(Lease lease) { return {LeaseChanged{std::move(lease)}}; }
    static ServerEvent leaseRemoved(MACAddress mac) { return {LeaseRemoved{mac}}; }
    static ServerEvent presence(IPv4Address ip, MACAddress mac, PresenceState state, std::string detail) {
        return {Presence{ip, mac, state, std::move(detail)}};
    }
    static ServerEvent link(bool up, std::optional<std::string> media) { return {Link{up, std::move(media)}}; }
    static ServerEvent noticeRaised(Notice notice) { return {NoticeRaised{std::move(notice)}}; }
    static ServerEvent noticeCleared(NoticeKind kind) { return {NoticeCleared{kind}}; }
    static ServerEvent info(std::string text) { return {Info{std::move(text)}}; }
    static ServerEvent stopped() { return {Stopped{}}; }

    // The payload when the event is of that case, else null.
    template <typename Payload>
    const Payload* as() const {
        return std::get_if<Payload>(&value);
    }
    template <typename Payload>
    bool is() const {
        return std::holds_alternative<Payload>(value);
    }

    // The case name, such as "leaseChanged"; for diagnostics.
    std::string_view caseName() const;

    friend bool operator==(const ServerEvent&, const ServerEvent&) = default;
};

}  // namespace anvil
