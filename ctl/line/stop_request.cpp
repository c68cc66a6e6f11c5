#include <atomic>

#include "ctl/line/stop_request.h"

namespace qx17::ctl {

namespace {

// Lock-free, so that a signal handler may touch it.
std::atomic<int> stop_level{0};
static_assert(std::atomic<int>::is_always_lock_free);

}  // namespace

StopLevel CurrentStopLevel() {
    return static_cast<StopLevel>(stop_level.load());
}

void RequestStop(StopLevel level) {
    int current = stop_level.load();
    while (current < static_cast<int>(level) &&
           !stop_level.compare_exchange_weak(current, static_cast<int>(level))) {
    }
}

void ClearStopRequest() {
    stop_level.store(0);
}

// Called from the platform's handler: each press goes one level further.
void StepStopLevel() {
    int current = stop_level.load();
    while (current < static_cast<int>(StopLevel::kNow) &&
           !stop_level.compare_exchange_weak(current, current + 1)) {
    }
}

}  // namespace qx17::ctl
