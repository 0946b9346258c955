#include "timing/clock.h"

#include <chrono>
#include <thread>

namespace {

std::chrono::steady_clock::duration since_start() {
    return std::chrono::steady_clock::now().time_since_epoch();
}

}  // namespace

// A steady clock, not the process clock: the deadline is about real time, and a
// processor-time clock hardly advances while the reader sleeps.
std::int64_t now_ms() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(since_start()).count();
}

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(since_start()).count();
}

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
