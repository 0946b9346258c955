// Real elapsed time and pauses, kept behind two functions so that tests can link a
// virtual clock in their place.
#pragma once

#include <cstdint>

// Milliseconds of real time from an arbitrary fixed start; never goes backwards.
std::int64_t now_ms();

// Sleeps for about ms milliseconds; the platform may stretch it to its timer's tick.
void pause_ms(int ms);
