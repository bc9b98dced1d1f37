#pragma once
// Finds out which leased devices are there: probes them in sweeps and before their address goes
// to another device, within fixed bounds of sockets and waiting devices, and keeps what it found.
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "core/addressing/date.hpp"
#include "core/addressing/ipv4_address.hpp"
#include "core/addressing/presence_state.hpp"
#include "core/host/arp_table.hpp"
#include "core/host/async_prober.hpp"
#include "core/leases/lease.hpp"
#include "core/dhcp/dhcp_packet.hpp"
#include "core/dhcp_service/probe_scheduler.hpp"

namespace asio {
class io_context;
}

namespace anvil {

class PresenceSweep {
public:
    // Probe sockets open at once stay well under the usual limit of 1024 descriptors. A probe holds
    // one TCP socket per port (80 and 443); one ICMP socket serves them all.
    static constexpr std::size_t probeSocketLimit = 256;
    static constexpr std::size_t probeLimit = (probeSocketLimit - 1) / 2;
    // Slots the sweep leaves free, so the probe a waiting device needs starts at once.
    static constexpr std::size_t reclaimSlots = 8;
    // Slots reclaims leave free, so a burst of devices never stops the sweep.
    static constexpr std::size_t sweepSlots = 8;
    // Devices waiting, all addresses together, for the probe of an address they are to be offered;
    // one more is refused and asks again.
    static constexpr std::size_t reclaimWaitLimit = 64;

    struct Seams {
        // Made at the first probe, on the sweep's loop.
        std::function<std::unique_ptr<AsyncProber>(asio::io_context& loop)> makeProber;
        std::function<ARPEntries()> readARPTable;
        // Dates queued reclaims; without it none is ever stale.
        std::function<Date()> clock;
        // The device holding an address in the table now. A sweep answer counts only while the
        // lease it was probed for still holds the address; without it every answer counts.
        std::function<std::optional<MACAddress>(IPv4Address)> holderOf;
    };

    // A message waiting for the probe of an address, with the probes made for it so far.
    struct Waiter {
        DHCPPacket packet;
        std::unordered_map<IPv4Address, bool> probes;
    };

    // A leased device's presence changed.
    struct Changed {
        IPv4Address ip;
        MACAddress mac;
        PresenceState state;
        std::string detail;

        friend bool operator==(const Changed&, const Changed&) = default;
    };
    // The probe before a reclaim ended: each waiter's probes now hold its answer, in the order
    // the waiters came.
    struct Probed {
        IPv4Address ip;
        std::vector<Waiter> waiters;
    };
    // The probe before a reclaim waited in the queue too long and was dropped with its waiters,
    // who have asked again by now.
    struct GaveUp {
        IPv4Address ip;
        std::vector<Waiter> waiters;
    };
    using Report = std::variant<Changed, Probed, GaveUp>;
    // Runs on the loop, from a probe's answer, never after cancel() or destruction.
    using Reports = std::function<void(Report)>;

    PresenceSweep(asio::io_context& loop, Seams seams, Reports reports);
    PresenceSweep(const PresenceSweep&) = delete;
    PresenceSweep& operator=(const PresenceSweep&) = delete;

    // The card probes go through, and its link: an answer judged while the link is down is offline.
    void setCard(std::string interfaceName, bool linkUp);

    // Probes every bound, unexpired lease whose last probe is not still out.
    void sweep(const std::vector<Lease>& leases, Date now);

    // Addresses probed before a reclaim at once are at most this many (the range's size).
    void limitReclaims(std::size_t addresses) { reclaimAddressLimit_ = addresses; }

    enum class Wait { probing, joined, refused };
    // Holds the waiter until `ip` was probed; the first waiter of an address starts its probe and
    // the others share it. A device waiting again replaces its earlier wait.
    Wait probeBeforeReclaim(IPv4Address ip, Waiter waiter);
    // Addresses probed before a reclaim for other devices than `device`: not to be chosen for it
    // meanwhile, so that devices asking together are given different addresses.
    std::unordered_set<IPv4Address> reclaimsForOthersThan(const MACAddress& device) const;

    // Every bound lease not already offline becomes offline; the changes in table order.
    std::vector<Changed> markAllOffline(const std::vector<Lease>& leases, const std::string& reason);

    const std::unordered_map<IPv4Address, PresenceState>& presence() const { return presence_; }
    std::size_t waiting() const;
    std::size_t probesOut() const { return scheduler_.running(); }

    // Every probe ends now, its sockets closed, and who waited is forgotten; nothing started
    // before reaches the reports afterwards. The presence found so far stays.
    void cancel();

private:
    void probeWhenFree(ProbeScheduler::Priority priority, IPv4Address ip, std::function<void(ProbeResult)> answer,
                       ProbeScheduler::GiveUp giveUp = {});
    AsyncProber& prober();
    void reclaimProbed(IPv4Address ip, const ProbeResult& result);
    void reclaimStale(IPv4Address ip);
    void sweepProbed(const Lease& lease, ProbeResult result);
    void judgeAnswered();
    void judge(const Lease& lease, const ProbeResult& result, const std::optional<MACAddress>& seen);

    asio::io_context& loop_;
    Seams seams_;
    Reports reports_;
    std::string interfaceName_;
    bool linkUp_ = true;
    std::unordered_map<IPv4Address, PresenceState> presence_;
    // Replaced at cancel: answers holding the old one are void.
    std::shared_ptr<bool> epoch_ = std::make_shared<bool>();
    ProbeScheduler scheduler_{probeLimit, probeLimit - reclaimSlots, probeLimit - sweepSlots, seams_.clock};
    std::size_t reclaimAddressLimit_ = probeLimit;
    // Addresses the sweep is probing now; the next sweep skips them.
    std::unordered_set<IPv4Address> sweeping_;
    // Answered sweep probes wait here for one read of the neighbour table that serves them all.
    std::vector<std::pair<Lease, ProbeResult>> answered_;
    std::unordered_map<IPv4Address, std::vector<Waiter>> waiting_;
    std::unique_ptr<AsyncProber> prober_;
};

}  // namespace anvil
