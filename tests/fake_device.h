// A scripted port and a virtual clock, linked in place of the real serial backend and
// clock. Bytes are scheduled to become readable at given virtual times; every pause the
// code under test takes advances virtual time, so time-outs run instantly and the same
// way every time.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

// Forgets everything: no scheduled bytes, nothing sent, time 0, port open.
void fake_reset();

// Schedules bytes to become readable at virtual time at_ms, after anything scheduled before.
void fake_arrive(std::int64_t at_ms, std::span<const std::uint8_t> bytes);
void fake_arrive(std::int64_t at_ms, std::initializer_list<std::uint8_t> bytes);

// Current virtual time, and how much of what was scheduled has not been read or purged
// (bytes taken into the receive buffer but not handed out by read_byte count as unread).
std::int64_t fake_now();
std::size_t fake_unread();

// Everything written through port_send, and how many times it purged.
const std::vector<std::uint8_t>& fake_sent();
int fake_purges();

// How many pauses and waits the code under test has taken: each is a wake-up of the
// real process.
int fake_wakeups();

// How many reads of what has arrived the code under test has made: each is a system
// call of the real port.
int fake_reads();

// Makes each reading of the clock advance it by ms too, as a slow machine would.
void fake_clock_step_per_reading(std::int64_t ms);
