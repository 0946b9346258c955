#pragma once

#include "link/link_protocol.h"
#include "link_stats/cycle_record.h"

// Pause between the end of one cycle and the next greeting unless told otherwise (-i).
inline constexpr int CYCLE_PAUSE_MS = 1000;

// One greeting cycle: send the greeting, wait up to timeout_ms for the response, print
// its payload or "[warn]:no response", and count it in link_stats. The pause after it is the
// caller's, which knows whether another cycle follows. packet is the caller's, reused every cycle;
// record is filled with what the cycle came to, its payload pointing into packet. Returns
// false, having printed and counted nothing of it, for a cycle whose wait a stop cut short.
bool run_cycle(Packet& packet, cycle_record& record, std::int64_t timeout_ms = READ_DEADLINE_MS);
