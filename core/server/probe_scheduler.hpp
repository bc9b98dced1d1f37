#pragma once
// Bounds how many probes are out at once and lets the probe a waiting device needs pass the
// presence sweep's.
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>

namespace anvil {

class ProbeScheduler {
public:
    enum class Priority { reclaim, sweep };
    // Runs when a slot is free; the probe gives its slot back by calling `finished` once.
    using Start = std::function<void(std::function<void()> finished)>;

    // At most `limit` probes at once, of which at most `sweepLimit` for the sweep, so that a
    // reclaim never waits for a sweep probe to time out.
    ProbeScheduler(std::size_t limit, std::size_t sweepLimit) : limit_(limit), sweepLimit_(sweepLimit) {}

    void submit(Priority priority, Start start);
    // Forgets every queued probe and every slot; a `finished` from before this call does nothing.
    void clear();

    std::size_t running() const { return reclaimsRunning_ + sweepsRunning_; }
    std::size_t queued() const { return reclaims_.size() + sweeps_.size(); }

private:
    void startWhatFits();
    void launch(Priority priority, Start start);

    std::size_t limit_;
    std::size_t sweepLimit_;
    std::size_t reclaimsRunning_ = 0;
    std::size_t sweepsRunning_ = 0;
    std::uint64_t generation_ = 0;
    std::deque<Start> reclaims_;
    std::deque<Start> sweeps_;
};

}  // namespace anvil
