#pragma once

#include "link/link_protocol.h"

// Pause between the end of one cycle and the next greeting.
inline constexpr int CYCLE_PAUSE_MS = 1000;

// One greeting cycle: send the greeting, wait for the response, print its payload or
// "[warn]:no response", then pause. packet is the caller's, reused every cycle.
void run_cycle(Packet& packet);
