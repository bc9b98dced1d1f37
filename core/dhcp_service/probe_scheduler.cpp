#include "core/dhcp_service/probe_scheduler.hpp"

#include <memory>

namespace anvil {

void ProbeScheduler::submit(Priority priority, Start start, GiveUp giveUp) {
    if (priority == Priority::reclaim)
        reclaims_.push_back({std::move(start), std::move(giveUp), now()});
    else
        sweeps_.push_back(std::move(start));
    startWhatFits();
}

void ProbeScheduler::clear() {
    ++generation_;
    reclaims_.clear();
    sweeps_.clear();
    reclaimsRunning_ = 0;
    sweepsRunning_ = 0;
}

void ProbeScheduler::startWhatFits() {
    // Given up after the loops, so that what they run cannot change the queues under them.
    auto stale = takeStaleReclaims();
    while (!reclaims_.empty() && running() < limit_ && reclaimsRunning_ < reclaimLimit_) {
        auto start = std::move(reclaims_.front().start);
        reclaims_.pop_front();
        launch(Priority::reclaim, std::move(start));
    }
    while (!sweeps_.empty() && running() < limit_ && sweepsRunning_ < sweepLimit_) {
        auto start = std::move(sweeps_.front());
        sweeps_.pop_front();
        launch(Priority::sweep, std::move(start));
    }
    for (auto& giveUp : stale)
        if (giveUp) giveUp();
}

// Reclaims queue in the order they came, so the stale ones are at the front.
std::vector<ProbeScheduler::GiveUp> ProbeScheduler::takeStaleReclaims() {
    std::vector<GiveUp> stale;
    auto current = now();
    while (!reclaims_.empty() && current.secondsSince(reclaims_.front().since) > staleReclaimSeconds) {
        stale.push_back(std::move(reclaims_.front().giveUp));
        reclaims_.pop_front();
    }
    return stale;
}

void ProbeScheduler::launch(Priority priority, Start start) {
    auto& counter = priority == Priority::reclaim ? reclaimsRunning_ : sweepsRunning_;
    ++counter;
    auto done = std::make_shared<bool>(false);
    start([this, done, priority, generation = generation_] {
        if (*done || generation != generation_) return;
        *done = true;
        --(priority == Priority::reclaim ? reclaimsRunning_ : sweepsRunning_);
        startWhatFits();
    });
}

}  // namespace anvil
