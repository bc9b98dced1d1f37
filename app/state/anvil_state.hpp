#pragma once
// What the app shows of serving: known leases, presence, banners, the found device, transfers, the cable.
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/watch/neighbour_book.hpp"
#include "core/events/notice.hpp"
#include "core/events/server_event.hpp"
#include "core/events/tftp_failure_reason.hpp"
#include "core/addressing/presence_state.hpp"
#include "core/leases/lease.hpp"
#include "core/leases/lease_file.hpp"

namespace anvil {

// One option a device asked for, and whether the server's reply carried it.
struct RequestedOption {
    std::uint8_t code = 0;
    std::string name;
    bool given = false;

    friend bool operator==(const RequestedOption&, const RequestedOption&) = default;
};

// A boot file on its way to a client.
struct ActiveTransfer {
    std::uint32_t transfer = 0;
    IPv4Address client;
    std::optional<MACAddress> mac;
    std::string file;  // the client's text
    std::uint64_t bytes = 0;
    std::optional<std::uint64_t> size;
    Date since;

    // 0 to 100, when the size is known.
    std::optional<int> percent() const;

    friend bool operator==(const ActiveTransfer&, const ActiveTransfer&) = default;
};

// How a device's last transfer ended.
struct TransferResult {
    IPv4Address client;
    std::optional<MACAddress> mac;
    std::string file;
    std::uint64_t bytes = 0;
    double seconds = 0;
    std::optional<TFTPFailureReason> failure;  // nothing when the whole file went
    std::string detail;
    Date at;

    friend bool operator==(const TransferResult&, const TransferResult&) = default;
};

struct AnvilState {
    // Notices about the running server's card; they go when the server stops.
    static constexpr std::array<NoticeKind, 5> runScoped{NoticeKind::linkDown, NoticeKind::adapterUnplugged,
                                                         NoticeKind::localNetworkDenied, NoticeKind::deviceNotAsking,
                                                         NoticeKind::recoveryLoader};

    std::unordered_map<MACAddress, Lease> leases;
    std::unordered_map<IPv4Address, PresenceState> presence;
    std::map<NoticeKind, Notice> notices;
    std::optional<Lease> deviceFound;
    std::optional<Date> lastPacketAt;
    std::optional<std::string> serverInterface;

    // What each client last asked for (its parameter request list), and the option codes and the
    // server's note (which user options went out and why) of the last offer or binding reply it was
    // sent, in this run.
    struct OptionExchange {
        std::vector<std::uint8_t> requested;
        std::vector<std::uint8_t> given;
        std::optional<std::string> note;
        friend bool operator==(const OptionExchange&, const OptionExchange&) = default;
    };
    std::unordered_map<MACAddress, OptionExchange> exchanges;
    // Beyond this many clients, those without a lease are forgotten first, then those heard from
    // longest ago.
    static constexpr std::size_t exchangeCapacity = 256;
    // A note longer than this is cut: the state stays small whatever the server wrote.
    static constexpr std::size_t noteCapacity = 400;

    // Transfers under way, by transfer number. The server runs at most this many at once; an end
    // lost on the way (an overfull hand-over) must not keep one here for ever, so the oldest yields.
    std::map<std::uint32_t, ActiveTransfer> transfers;
    static constexpr std::size_t transferCapacity = 16;
    // The last ended transfer of each device (by hardware address, else by client address), newest last.
    std::vector<TransferResult> transferResults;
    static constexpr std::size_t transferResultCapacity = 64;

    // Devices seen on the cable, by hardware address; at most as many as the watch itself keeps.
    std::unordered_map<MACAddress, Neighbour> neighbours;
    static constexpr std::size_t neighbourCapacity = NeighbourBook::capacity;
    // Those that hold no lease from this server, newest first.
    std::vector<Neighbour> neighboursWithoutLease() const;
    const Neighbour* neighbour(const MACAddress& mac) const;

    // The device's transfer under way (the newest when several) and its last result; matched by
    // hardware address when the event named one, else by client address.
    const ActiveTransfer* activeTransfer(const MACAddress& mac, IPv4Address ip) const;
    const TransferResult* lastTransferResult(const MACAddress& mac, IPv4Address ip) const;

    static bool isRunScoped(NoticeKind kind);

    void loadLeases(const LeaseFile::LoadResult& result);
    void runStarted(const std::string& interface);
    void apply(const ServerEvent& event, Date at);
    void raise(const Notice& notice) { notices[notice.kind] = notice; }
    void dismiss(NoticeKind kind) { notices.erase(kind); }

    // The options the client asked for, in its order, each marked given when the last reply carried it.
    std::vector<RequestedOption> requestedOptions(const MACAddress& mac) const;
    // The note of the last offer or binding reply the client was sent, if it had one.
    std::optional<std::string> lastReplyNote(const MACAddress& mac) const;

    friend bool operator==(const AnvilState&, const AnvilState&) = default;

private:
    OptionExchange& noteExchange(const MACAddress& mac);
    ActiveTransfer& noteTransfer(std::uint32_t transfer, IPv4Address client, const std::optional<MACAddress>& mac,
                                 const std::string& file, Date at);
    void endTransfer(TransferResult result, std::uint32_t transfer);
    void noteNeighbour(const ServerEvent::Neighbour& event);
};

}  // namespace anvil
