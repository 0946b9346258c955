// What one finished cycle came to, in one plain record: what the cycle printed, in a
// form a program can write out again (the run log; counters for a monitoring system).
#pragma once

#include <cstdint>
#include <span>

#include "link_stats/link_stats.h"
#include "timing/local_time.h"

enum class cycle_result {
    response,     // a valid response was printed
    no_response,  // "no response" was printed
    port_away,    // the cycle began with the port closed: nothing was sent
};

struct cycle_record {
    std::uint64_t seq = 0;  // 1 for the run's first greeting
    cycle_result result = cycle_result::no_response;
    // A response's whole payload, zero bytes included; it lies in the cycle's Packet and
    // is valid until the next cycle. Empty otherwise.
    std::span<const std::uint8_t> payload;
    std::int64_t round_trip_us = 0;  // a response's round trip; 0 otherwise
    cycle_warnings warnings;         // what the frame reader printed during the cycle
    read_seen seen{};                // for no_response: why, as the frame reader saw it
    local_time ended{};              // when the outcome was printed
};
