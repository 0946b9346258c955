// Linux stops in its signal handler (link_stats/stop_summary_posix.cpp): nothing asks
// here, and the waits are plain pauses.
#include <atomic>

#include "timing/clock.h"
#include "timing/stop_request.h"

namespace {

std::atomic<bool> stopping{false};

}  // namespace

void request_stop() {
    stopping.store(true);
}

bool stop_requested() {
    return stopping.load(std::memory_order_relaxed);
}

bool pause_unless_stopped(int ms) {
    pause_ms(ms);
    return false;
}

void enter_cancellable_wait() {}
void leave_cancellable_wait() {}

bool in_cancellable_wait() {
    return false;
}
