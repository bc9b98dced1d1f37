#include "core/dhcp_service/presence_sweep.hpp"

#include <algorithm>
#include <asio.hpp>

#include "core/addressing/timing.hpp"
#include "core/host/presence.hpp"

namespace anvil {

PresenceSweep::PresenceSweep(asio::io_context& loop, Seams seams, Reports reports)
    : loop_(loop), seams_(std::move(seams)), reports_(std::move(reports)) {}

void PresenceSweep::setCard(std::string interfaceName, bool linkUp) {
    interfaceName_ = std::move(interfaceName);
    linkUp_ = linkUp;
}

void PresenceSweep::sweep(const std::vector<Lease>& leases, Date now) {
    for (const auto& lease : leases) {
        if (lease.state != Lease::State::bound || !(lease.expiresAt > now)) continue;
        if (!sweeping_.insert(lease.ip).second) continue;  // the last sweep's probe is still out
        probeWhenFree(ProbeScheduler::Priority::sweep, lease.ip,
                      [this, lease](ProbeResult result) { sweepProbed(lease, std::move(result)); });
    }
}

void PresenceSweep::sweepProbed(const Lease& lease, ProbeResult result) {
    sweeping_.erase(lease.ip);
    // Silence is offline whatever the neighbour table holds.
    if (!result.answered) {
        judge(lease, result, std::nullopt);
        return;
    }
    answered_.emplace_back(lease, std::move(result));
    if (answered_.size() == 1)
        asio::post(loop_, [this, epoch = std::weak_ptr(epoch_)] {
            if (!epoch.expired()) judgeAnswered();
        });
}

// Answers that arrive together share one read of the neighbour table.
void PresenceSweep::judgeAnswered() {
    auto pending = std::exchange(answered_, {});
    if (pending.empty()) return;
    auto entries = seams_.readARPTable();
    for (const auto& [lease, result] : pending) {
        std::optional<MACAddress> seen;
        if (auto found = entries.find(lease.ip); found != entries.end()) seen = found->second;
        judge(lease, result, seen);
    }
}

void PresenceSweep::judge(const Lease& lease, const ProbeResult& result, const std::optional<MACAddress>& seen) {
    // The address changed hands while its probe was out: the answer is about the former holder.
    if (seams_.holderOf && seams_.holderOf(lease.ip) != lease.mac) return;
    auto state = PresenceClassifier::classify(result, seen, lease.mac, linkUp_);
    auto known = presence_.find(lease.ip);
    if (known != presence_.end() && known->second == state) return;
    presence_[lease.ip] = state;
    reports_(Changed{lease.ip, lease.mac, state, result.detail});
}

PresenceSweep::Wait PresenceSweep::probeBeforeReclaim(IPv4Address ip, Waiter waiter) {
    if (!waiting_.contains(ip) && waiting_.size() >= reclaimAddressLimit_) return Wait::refused;
    auto [slot, fresh] = waiting_.try_emplace(ip);
    auto& waiters = slot->second;
    auto mac = waiter.packet.mac();
    std::erase_if(waiters, [&mac](const Waiter& held) { return held.packet.mac() == mac; });
    if (waiting() >= reclaimWaitLimit) {
        if (waiters.empty()) waiting_.erase(slot);
        return Wait::refused;
    }
    waiters.push_back(std::move(waiter));
    if (!fresh) return Wait::joined;
    probeWhenFree(
        ProbeScheduler::Priority::reclaim, ip, [this, ip](ProbeResult result) { reclaimProbed(ip, result); },
        [this, ip] { reclaimStale(ip); });
    return Wait::probing;
}

std::unordered_set<IPv4Address> PresenceSweep::reclaimsForOthersThan(const MACAddress& device) const {
    std::unordered_set<IPv4Address> others;
    for (const auto& [ip, waiters] : waiting_)
        if (std::ranges::none_of(waiters, [&device](const Waiter& held) { return held.packet.mac() == device; }))
            others.insert(ip);
    return others;
}

void PresenceSweep::reclaimStale(IPv4Address ip) {
    auto found = waiting_.find(ip);
    if (found == waiting_.end()) return;
    auto waiters = std::move(found->second);
    waiting_.erase(found);
    reports_(GaveUp{ip, std::move(waiters)});
}

void PresenceSweep::reclaimProbed(IPv4Address ip, const ProbeResult& result) {
    auto found = waiting_.find(ip);
    if (found == waiting_.end()) return;
    auto waiters = std::move(found->second);
    waiting_.erase(found);
    if (result.answered) presence_[ip] = PresenceState::online;
    for (auto& waiter : waiters) waiter.probes[ip] = result.answered;
    reports_(Probed{ip, std::move(waiters)});
}

std::vector<PresenceSweep::Changed> PresenceSweep::markAllOffline(const std::vector<Lease>& leases,
                                                                  const std::string& reason) {
    std::vector<Changed> changes;
    for (const auto& lease : leases) {
        if (lease.state != Lease::State::bound) continue;
        auto [known, fresh] = presence_.try_emplace(lease.ip, PresenceState::offline);
        if (!fresh && known->second == PresenceState::offline) continue;
        known->second = PresenceState::offline;
        changes.push_back({lease.ip, lease.mac, PresenceState::offline, reason});
    }
    return changes;
}

std::size_t PresenceSweep::waiting() const {
    std::size_t count = 0;
    for (const auto& [ip, waiters] : waiting_) count += waiters.size();
    return count;
}

void PresenceSweep::cancel() {
    if (prober_) prober_->cancelAll();
    epoch_ = std::make_shared<bool>();
    scheduler_.clear();
    sweeping_.clear();
    answered_.clear();
    waiting_.clear();
}

AsyncProber& PresenceSweep::prober() {
    if (!prober_) prober_ = seams_.makeProber(loop_);
    return *prober_;
}

void PresenceSweep::probeWhenFree(ProbeScheduler::Priority priority, IPv4Address ip,
                                  std::function<void(ProbeResult)> answer, ProbeScheduler::GiveUp giveUp) {
    scheduler_.submit(
        priority,
        [this, ip, answer = std::move(answer)](std::function<void()> finished) mutable {
            prober().probe(interfaceName_, ip, Timing::probeTimeout,
                           [epoch = std::weak_ptr(epoch_), finished = std::move(finished),
                            answer = std::move(answer)](ProbeResult result) mutable {
                               if (epoch.expired()) return;
                               finished();
                               answer(std::move(result));
                           });
        },
        std::move(giveUp));
}

}  // namespace anvil
