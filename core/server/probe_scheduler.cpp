#include "core/server/probe_scheduler.hpp"

#include <memory>

namespace anvil {

void ProbeScheduler::submit(Priority priority, Start start) {
    (priority == Priority::reclaim ? reclaims_ : sweeps_).push_back(std::move(start));
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
    while (!reclaims_.empty() && running() < limit_) {
        auto start = std::move(reclaims_.front());
        reclaims_.pop_front();
        launch(Priority::reclaim, std::move(start));
    }
    while (!sweeps_.empty() && running() < limit_ && sweepsRunning_ < sweepLimit_) {
        auto start = std::move(sweeps_.front());
        sweeps_.pop_front();
        launch(Priority::sweep, std::move(start));
    }
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
