#include "cli/stop_signals.hpp"

#include <pthread.h>

namespace anvil {

StopSignals::StopSignals() {
    sigemptyset(&stopping_);
    sigaddset(&stopping_, SIGINT);
    sigaddset(&stopping_, SIGTERM);
    blocked_ = pthread_sigmask(SIG_BLOCK, &stopping_, &previous_) == 0;
}

StopSignals::~StopSignals() { release(); }

void StopSignals::wait() {
    int received = 0;
    while (sigwait(&stopping_, &received) != 0 || (received != SIGINT && received != SIGTERM)) {
    }
}

void StopSignals::release() {
    if (!blocked_) return;
    blocked_ = false;
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
}

}  // namespace anvil
