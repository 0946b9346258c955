// The flag, and an event that the pauses and the serial port's reads wait on beside
// their own end.
#include <windows.h>

#include <array>
#include <atomic>

#include "timing/stop_request.h"

namespace {

std::atomic<bool> stopping{false};

// Manual reset: once asked, every later pause ends at once too.
HANDLE stop_event() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

}  // namespace

void request_stop() {
    stopping.store(true);
    SetEvent(stop_event());
}

bool stop_requested() {
    return stopping.load(std::memory_order_relaxed);
}

bool pause_unless_stopped(int ms) {
    // WAIT_OBJECT_0: the event; WAIT_TIMEOUT: the pause ran its time.
    return WaitForSingleObject(stop_event(), static_cast<DWORD>(ms < 0 ? 0 : ms)) == WAIT_OBJECT_0;
}

bool wait_unless_stopped(void* event, int ms) {
    const std::array<HANDLE, 2> either{event, stop_event()};
    return WaitForMultipleObjects(2, either.data(), FALSE, static_cast<DWORD>(ms < 0 ? 0 : ms)) ==
           WAIT_OBJECT_0;
}
