// The flag, an event that the pauses wait on beside their time, and the cancelling of a
// serial read waiting in the driver.
#include <windows.h>

#include <atomic>

#include "timing/stop_request.h"

namespace {

std::atomic<bool> stopping{false};
// The thread inside a cancellable wait, or nullptr: a handle of its own, through which
// another thread may cancel its synchronous I/O.
std::atomic<HANDLE> waiting_thread{nullptr};
HANDLE own_thread = nullptr;

// Manual reset: once asked, every later pause ends at once too.
HANDLE stop_event() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

}  // namespace

void request_stop() {
    stopping.store(true);
    SetEvent(stop_event());
    if (const HANDLE thread = waiting_thread.load(); thread != nullptr) {
        CancelSynchronousIo(thread);
    }
}

bool stop_requested() {
    return stopping.load(std::memory_order_relaxed);
}

bool pause_unless_stopped(int ms) {
    // WAIT_OBJECT_0: the event; WAIT_TIMEOUT: the pause ran its time.
    return WaitForSingleObject(stop_event(), static_cast<DWORD>(ms < 0 ? 0 : ms)) == WAIT_OBJECT_0;
}

void enter_cancellable_wait() {
    if (own_thread == nullptr) {
        const HANDLE process = GetCurrentProcess();
        DuplicateHandle(process, GetCurrentThread(), process, &own_thread, 0, FALSE,
                        DUPLICATE_SAME_ACCESS);
    }
    waiting_thread.store(own_thread);
}

void leave_cancellable_wait() {
    waiting_thread.store(nullptr);
}

bool in_cancellable_wait() {
    return waiting_thread.load() != nullptr;
}
