// How the link has done since the tool started: what each cycle ended in, the warnings
// the frame reader printed, and the round trips, kept in one fixed-size record that is
// written out as a summary when the tool is stopped or its run is over.
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

#include "link/link_protocol.h"

// Round trips are kept in microseconds in a histogram of fixed size: one bucket per
// microsecond below ROUND_TRIP_EXACT_US, then ROUND_TRIP_STEPS buckets to each doubling,
// so a bucket is never wider than 1/64 of its values and its middle is within 0.8 % of
// any of them. Trips from 2^ROUND_TRIP_TOP_BITS microseconds (67 s) on share one
// overflow bucket: a frame still arriving at the reader's one-second deadline is not cut
// off, so trips beyond a second do happen, but not by a minute.
inline constexpr std::uint64_t ROUND_TRIP_STEPS = 64;
inline constexpr std::uint64_t ROUND_TRIP_EXACT_US = 2 * ROUND_TRIP_STEPS;
inline constexpr int ROUND_TRIP_TOP_BITS = 26;
inline constexpr std::uint64_t ROUND_TRIP_TOP_US = std::uint64_t{1} << ROUND_TRIP_TOP_BITS;
inline constexpr std::size_t ROUND_TRIP_BUCKETS =
    ROUND_TRIP_EXACT_US + (ROUND_TRIP_TOP_BITS - 7) * ROUND_TRIP_STEPS + 1;
static_assert(ROUND_TRIP_EXACT_US == 1 << 7, "the first doubling after the exact buckets");

// The longest summary format_summary writes; a buffer of this size always holds it, a
// verdict's reason of up to VERDICT_REASON_MAX bytes included.
inline constexpr std::size_t VERDICT_REASON_MAX = 512;
inline constexpr std::size_t SUMMARY_MAX = 768 + VERDICT_REASON_MAX;

enum class link_warning { crc, escape, length };

// One warning the frame reader printed, with the numbers it printed: for length the
// declared length; for crc the computed and the received check byte; for escape the
// byte that followed the escape byte.
struct warning_seen {
    link_warning kind;
    std::uint16_t first;
    std::uint16_t second;
};

// The warnings of the current cycle. A cycle on a noisy line can print many; the first
// CYCLE_WARNINGS_KEPT are kept with their numbers, the rest only counted.
inline constexpr std::size_t CYCLE_WARNINGS_KEPT = 16;
struct cycle_warnings {
    std::array<warning_seen, CYCLE_WARNINGS_KEPT> kept{};
    std::size_t count = 0;  // all of them, kept or not
};

using counter = std::atomic<std::uint64_t>;
static_assert(counter::is_always_lock_free, "read from a signal handler");

// One definition of each count, which the summary, the run log, the metrics and the
// log's reader all keep: greetings = responses + no_response + cycles_away, and the
// causes add up to no_response. A cycle before a port waited for (--wait) has first
// been opened is none of them.
struct link_counters {
    counter greetings{0};    // cycles started: each sends a greeting, or would with a port
    counter responses{0};    // cycles that printed a response
    counter no_response{0};  // cycles with the port open that printed "no response"
    counter crc_errors{0};
    counter escape_errors{0};
    counter length_errors{0};
    counter cycles_away{0};  // cycles that began with the port closed
    // "no response" cycles with the port open, by cause (no_response_cause)
    std::array<counter, NO_RESPONSE_CAUSES> causes{};
    counter round_trip_min_us{UINT64_MAX};
    counter round_trip_max_us{0};
    std::array<std::atomic<std::uint32_t>, ROUND_TRIP_BUCKETS> round_trips{};
};

// The process's record, fed by the poll cycle and the frame reader.
extern link_counters link_stats;
// The warnings of the cycle under way, for the cycle's own record.
extern cycle_warnings warnings_this_cycle;

// Also empties warnings_this_cycle.
void count_cycle_start(link_counters& stats, bool port_away);
// The cycle's line is printed and its counts are whole.
void count_cycle_end();
// Takes back the greeting of a cycle that has begun and not ended (a stop cut it short):
// the counts are then those of the cycles that ended, as the lines printed are. Does
// nothing between cycles.
void uncount_open_cycle(link_counters& stats);
// round_trip_us: from just before the greeting is sent to the response's read returning.
void count_response(link_counters& stats, std::int64_t round_trip_us);
void count_no_response(link_counters& stats);
// The cause of a cycle that printed "no response" with the port open.
void count_cause(link_counters& stats, no_response_cause cause);
// Counts the warning and keeps it in warnings_this_cycle.
void count_warning(link_counters& stats, const warning_seen& warning);

// The bucket a trip falls into, and the value a bucket stands for (its middle).
std::size_t round_trip_bucket(std::uint64_t trip_us);
std::uint64_t bucket_value_us(std::size_t bucket);

// The round trip below which the share per_mille / 1000 of the trips lie: the
// ceil(n * per_mille / 1000)-th smallest (the lower median at 500), from the buckets and
// kept between the exact minimum and maximum. UINT64_MAX when it lies in the overflow
// bucket; 0 without trips.
std::uint64_t round_trip_quantile_us(const link_counters& stats, std::uint64_t per_mille);

// Whether a run passed: at least one greeting answered, and the unanswered share at most
// max_loss_millionths / 10^6 percent. Exact for up to 10^10 greetings.
bool link_held(const link_counters& stats, std::uint64_t max_loss_millionths);

// Whether no greeting still to come can make the run pass: the unanswered share of a run
// of at most greetings_at_most greetings is past max_loss_millionths already.
bool loss_decided(const link_counters& stats, std::uint64_t max_loss_millionths,
                  std::uint64_t greetings_at_most);

// How a bounded run came out, for the last line of its summary.
struct run_verdict {
    bool passed = false;
    std::uint64_t max_loss_millionths = 0;
    // Why the run ended before its bound, or nullptr; said after the verdict. Lives as
    // long as the process.
    const char* ended_early = nullptr;
};

// Makes format_summary end with the verdict line ("verdict: failed, 4.0% unanswered,
// limit 1%"). Called before the summary is taken.
void set_summary_verdict(const run_verdict& verdict);

// The pace and line speed of a run: the pause after each cycle, the wait for each
// response, the baud rate asked for.
struct run_pace {
    std::int64_t interval_ms;
    std::int64_t timeout_ms;
    std::uint32_t baud;
};

// Makes format_summary end with a line saying pace: set for a run at another pace or
// speed than the default one, whose summary then says what it ran at; without it the
// summary is what it always was. Called before the summary can be taken.
void set_summary_pace(const run_pace& pace);

// Writes the summary, lines ending in LF as on every standard-error line, into out and returns its
// size (cut short if out is smaller than SUMMARY_MAX). Allocates nothing and calls no library
// function, so a signal handler may call it.
std::size_t format_summary(const link_counters& stats, std::span<char> out);
