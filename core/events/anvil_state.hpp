#pragma once
// What a front end shows of serving: known leases, presence, banners, the found device.
#include <array>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/mac_address.hpp"
#include "core/events/notice.hpp"
#include "core/events/server_event.hpp"
#include "core/host/presence.hpp"
#include "core/leases/lease.hpp"
#include "core/leases/lease_file.hpp"

namespace anvil {

struct AnvilState {
    // Notices about the running server's card; they go when the server stops.
    static constexpr std::array<NoticeKind, 3> runScoped{NoticeKind::linkDown, NoticeKind::adapterUnplugged,
                                                         NoticeKind::localNetworkDenied};

    std::unordered_map<MACAddress, Lease> leases;
    std::unordered_map<IPv4Address, PresenceState> presence;
    std::map<NoticeKind, Notice> notices;
    std::optional<Lease> deviceFound;
    std::optional<Date> lastPacketAt;
    std::optional<std::string> serverInterface;

    static bool isRunScoped(NoticeKind kind);

    void loadLeases(const LeaseFile::LoadResult& result);
    void runStarted(const std::string& interface);
    void apply(const ServerEvent& event, Date at);
    void raise(const Notice& notice) { notices[notice.kind] = notice; }
    void dismiss(NoticeKind kind) { notices.erase(kind); }

    friend bool operator==(const AnvilState&, const AnvilState&) = default;
};

}  // namespace anvil
