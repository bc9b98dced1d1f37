#pragma once
// SIGINT and SIGTERM end `serve` and `watch` the same way: blocked before any thread starts (so
// none of them takes one), then waited for on the main thread, which stops the run cleanly.
#include <signal.h>

namespace anvil {

class StopSignals {
public:
    StopSignals();
    // Puts the mask back if release() did not.
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Returns when one of them came.
    void wait();
    // Not running after all: the signals end the process again, and children do not inherit the mask.
    void release();

private:
    sigset_t stopping_;
    sigset_t previous_;
    bool blocked_ = false;
};

}  // namespace anvil
