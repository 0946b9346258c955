// A stop asked for from outside, taken by the cycle at its next boundary rather than
// beside it. Windows calls a console control handler on a thread of its own; it asks
// here, and the cycle's waits (the pause, the wait for a byte) end at once. Linux takes
// its stops in the signal handler and never asks, so there nothing here waits or ends
// early. Each platform has its own backend file.
#pragma once

// Marks the stop as asked for and cuts the cycle's waits short, those under way and any
// begun later; safe from any thread. A read that began just after a call is cut only by
// the next, so a thread that waits for the cycle calls it again.
void request_stop();

// Whether a stop has been asked for.
bool stop_requested();

// Pauses for ms, or until a stop is asked for. Returns true when a stop cut it short.
bool pause_unless_stopped(int ms);

// The longest a wait that a stop cannot cut short goes on before the stop is seen:
// the serial port's wait for a byte is cut into pieces of this length.
inline constexpr int STOP_LOOK_MS = 500;

// Around a wait that only ending the system call can cut short (Windows: a serial read
// waiting in the driver): request_stop cancels the calling thread's I/O while it is
// inside.
void enter_cancellable_wait();
void leave_cancellable_wait();

// Whether the cycle is in such a wait now: not stuck, but waiting at most STOP_LOOK_MS.
bool in_cancellable_wait();
