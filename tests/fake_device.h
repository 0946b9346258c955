// A scripted port and a virtual clock, linked in place of the real serial backend and
// clock. Bytes are scheduled to become readable at given virtual times; every pause the
// code under test takes advances virtual time, so time-outs run instantly and the same
// way every time.
#pragma once

#include <cstdint>
#include <deque>
#include <utility>
#include <vector>

struct fake_device {
    std::int64_t now = 0;  // virtual milliseconds
    // Each reading of the clock advances it by this too, as on a slow machine.
    std::int64_t step_per_reading = 0;
    std::deque<std::pair<std::int64_t, std::uint8_t>> incoming;  // (readable at, byte)
    std::vector<std::uint8_t> sent;                              // all port_send wrote
    int wakeups = 0;  // pauses and waits: each one a wake-up of the real process
    int reads = 0;    // reads of what has arrived: each one a system call of the real port
};
extern fake_device fake;

// Forgets everything: no scheduled bytes, nothing sent, time 0, port open.
void fake_reset();

// Schedules bytes to become readable at at_ms, after anything scheduled before.
void fake_arrive(std::int64_t at_ms, const std::vector<std::uint8_t>& bytes);

// What was scheduled and neither read nor purged, the receive buffer's unread bytes too.
std::size_t fake_unread();
