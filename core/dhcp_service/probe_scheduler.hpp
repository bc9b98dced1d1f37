#pragma once
// Bounds how many probes are out at once, lets the probe a waiting device needs pass the presence
// sweep's, keeps slots for the sweep under a burst of devices, and drops reclaims queued too long.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "core/addressing/date.hpp"

namespace anvil {

class ProbeScheduler {
public:
    enum class Priority { reclaim, sweep };
    // Runs when a slot is free; the probe gives its slot back by calling `finished` once.
    using Start = std::function<void(std::function<void()> finished)>;
    // Runs instead of a reclaim's start when it waited in the queue too long.
    using GiveUp = std::function<void()>;

    // A device whose reclaim has not started after this long has asked again by now.
    static constexpr double staleReclaimSeconds = 4;

    // At most `limit` probes at once: at most `sweepLimit` for the sweep, so that a reclaim never
    // waits for a sweep probe to time out, and at most `reclaimLimit` for reclaims, so that a
    // burst of devices never stops the sweep. `clock` dates queued reclaims.
    ProbeScheduler(std::size_t limit, std::size_t sweepLimit, std::size_t reclaimLimit, std::function<Date()> clock)
        : limit_(limit), sweepLimit_(sweepLimit), reclaimLimit_(reclaimLimit), clock_(std::move(clock)) {}

    void submit(Priority priority, Start start, GiveUp giveUp = {});
    // Forgets every queued probe and every slot; a `finished` from before this call does nothing.
    void clear();

    std::size_t running() const { return reclaimsRunning_ + sweepsRunning_; }
    std::size_t queued() const { return reclaims_.size() + sweeps_.size(); }

private:
    struct QueuedReclaim {
        Start start;
        GiveUp giveUp;
        Date since;
    };

    Date now() const { return clock_ ? clock_() : Date{}; }
    void startWhatFits();
    std::vector<GiveUp> takeStaleReclaims();
    void launch(Priority priority, Start start);

    std::size_t limit_;
    std::size_t sweepLimit_;
    std::size_t reclaimLimit_;
    std::function<Date()> clock_;
    std::size_t reclaimsRunning_ = 0;
    std::size_t sweepsRunning_ = 0;
    std::uint64_t generation_ = 0;
    std::deque<QueuedReclaim> reclaims_;
    std::deque<Start> sweeps_;
};

}  // namespace anvil
