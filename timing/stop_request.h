// A stop asked for from outside, taken by the cycle at its next boundary rather than
// beside it. Windows calls a console control handler on a thread of its own; it asks
// here, and the cycle's waits (the pause, the wait for a byte) end at once. Linux takes
// its stops in the signal handler and never asks, so there nothing here waits or ends
// early. Each platform has its own backend file.
#pragma once

// Marks the stop as asked for and cuts the cycle's waits short, those under way and any
// begun later; safe from any thread.
void request_stop();

// Whether a stop has been asked for.
bool stop_requested();

// Pauses for ms, or until a stop is asked for. Returns true when a stop cut it short.
bool pause_unless_stopped(int ms);

// Windows: waits up to ms for event (a HANDLE), ending early at a stop. True when the
// event came.
bool wait_unless_stopped(void* event, int ms);
