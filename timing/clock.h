// Real elapsed time and pauses, kept behind a few functions so that tests can link a
// virtual clock in their place.
#pragma once

#include <cstdint>

// Milliseconds of real time from an arbitrary fixed start; never goes backwards.
std::int64_t now_ms();

// The same clock in microseconds, for round trips that are shorter than a millisecond.
std::int64_t now_us();

// Sleeps for about ms milliseconds; the platform may stretch it to its timer's tick.
void pause_ms(int ms);
