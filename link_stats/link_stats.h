// How the link has done since the tool started: what each cycle ended in, the warnings
// the frame reader printed, and the round trips, kept in one fixed-size record that is
// written out as a summary when the tool is stopped.
//
// The counters are atomic because the summary is taken while a cycle may be updating
// them: from a signal handler on Linux, from another thread on Windows. Each is read on
// its own, so a summary taken mid-cycle shows that cycle half counted, never a torn
// number.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

// Round trips are kept in 1 ms buckets from 0 to this many ms; longer ones share one
// overflow bucket. A frame still arriving at the reader's one-second deadline is not cut
// off, so trips beyond a second do happen, but rarely beyond two.
inline constexpr std::size_t ROUND_TRIP_LIMIT_MS = 2000;

// The longest summary format_summary writes; a buffer of this size always holds it.
inline constexpr std::size_t SUMMARY_MAX = 512;

enum class link_warning { crc, escape, length };

using counter = std::atomic<std::uint64_t>;
static_assert(counter::is_always_lock_free, "read from a signal handler");

struct LinkStats {
    counter greetings{0};    // cycles started: each sends a greeting, or would with a port
    counter responses{0};    // cycles that printed a response
    counter no_response{0};  // cycles that printed "no response"
    counter crc_errors{0};
    counter escape_errors{0};
    counter length_errors{0};
    counter cycles_away{0};  // cycles that began with the port closed
    counter round_trip_min{UINT64_MAX};
    counter round_trip_max{0};
    std::array<std::atomic<std::uint32_t>, ROUND_TRIP_LIMIT_MS + 2> round_trips{};
};

// The process's record, fed by the poll cycle and the frame reader.
extern LinkStats link_stats;

void count_cycle_start(LinkStats& stats, bool port_away);
// round_trip_ms: from the greeting's send returning to the response's read returning.
void count_response(LinkStats& stats, std::int64_t round_trip_ms);
void count_no_response(LinkStats& stats);
void count_warning(LinkStats& stats, link_warning warning);

// Writes the summary, lines ending in LF as on every standard-error line, into out and returns its
// size (cut short if out is smaller than SUMMARY_MAX). Allocates nothing and calls no library
// function, so a signal handler may call it.
std::size_t format_summary(const LinkStats& stats, std::span<char> out);
