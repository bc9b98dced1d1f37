#pragma once
// One happening the server reports to its front ends; the only way the core tells anyone anything.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/addressing/server_config.hpp"
#include "core/watch/neighbour.hpp"
#include "core/events/notice.hpp"
#include "core/events/packet_summary.hpp"
#include "core/events/sent_summary.hpp"
#include "core/events/tftp_failure_reason.hpp"
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
    // A boot client's read request, as it arrived; the file name and options are the client's text.
    struct TFTPRequested {
        std::uint32_t transfer = 0;
        IPv4Address client;
        std::uint16_t clientPort = 0;
        std::optional<MACAddress> mac;  // the device holding a lease at that address
        std::string file;
        std::string options;  // as asked, "blksize=1468 tsize=0"; may be empty
        friend bool operator==(const TFTPRequested&, const TFTPRequested&) = default;
    };
    struct TFTPProgress {
        std::uint32_t transfer = 0;
        IPv4Address client;
        std::optional<MACAddress> mac;
        std::string file;
        std::uint64_t bytes = 0;
        std::optional<std::uint64_t> size;
        friend bool operator==(const TFTPProgress&, const TFTPProgress&) = default;
    };
    struct TFTPFinished {
        std::uint32_t transfer = 0;
        IPv4Address client;
        std::optional<MACAddress> mac;
        std::string file;
        std::uint64_t bytes = 0;
        double seconds = 0;
        friend bool operator==(const TFTPFinished&, const TFTPFinished&) = default;
    };
    struct TFTPFailed {
        std::uint32_t transfer = 0;
        IPv4Address client;
        std::optional<MACAddress> mac;
        std::string file;
        TFTPFailureReason reason = TFTPFailureReason::notInFolder;
        std::string detail;  // the real reason, for the user; outside text when it quotes the client
        friend bool operator==(const TFTPFailed&, const TFTPFailed&) = default;
    };

    // A device on the cable seen by the frames it sent, changed, or gone quiet.
    struct Neighbour {
        NeighbourChange change = NeighbourChange::seen;
        anvil::Neighbour device;
        friend bool operator==(const Neighbour&, const Neighbour&) = default;
    };

    using Case = std::variant<Started, Received, Sent, Dropped, LeaseChanged, LeaseRemoved, Presence, Link,
                              NoticeRaised, NoticeCleared, Info, Stopped, TFTPRequested, TFTPProgress,
                              TFTPFinished, TFTPFailed, Neighbour>;

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
    static ServerEvent tftpRequested(std::uint32_t transfer, IPv4Address client, std::uint16_t clientPort,
                                     std::optional<MACAddress> mac, std::string file, std::string options) {
        return {TFTPRequested{transfer, client, clientPort, mac, std::move(file), std::move(options)}};
    }
    static ServerEvent tftpProgress(std::uint32_t transfer, IPv4Address client, std::optional<MACAddress> mac,
                                    std::string file, std::uint64_t bytes, std::optional<std::uint64_t> size) {
        return {TFTPProgress{transfer, client, mac, std::move(file), bytes, size}};
    }
    static ServerEvent tftpFinished(std::uint32_t transfer, IPv4Address client, std::optional<MACAddress> mac,
                                    std::string file, std::uint64_t bytes, double seconds) {
        return {TFTPFinished{transfer, client, mac, std::move(file), bytes, seconds}};
    }
    static ServerEvent tftpFailed(std::uint32_t transfer, IPv4Address client, std::optional<MACAddress> mac,
                                  std::string file, TFTPFailureReason reason, std::string detail) {
        return {TFTPFailed{transfer, client, mac, std::move(file), reason, std::move(detail)}};
    }
    static ServerEvent neighbour(NeighbourChange change, anvil::Neighbour device) {
        return {Neighbour{change, std::move(device)}};
    }

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
