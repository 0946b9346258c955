// The run's figures as a Prometheus text exposition, the format node_exporter's textfile
// collector serves: formed in a caller's fixed buffer, without allocating.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "link/link_protocol.h"
#include "serial/device_path.h"

// Upper bounds of the round-trip buckets, in microseconds: a 1-2-5 series from what a
// pseudo-terminal or a fast UART answers in to the reader's one-second deadline. A
// frame still arriving at the deadline is not cut off, so longer trips exist; they are
// counted in the "+Inf" bucket only.
inline constexpr std::array<std::uint32_t, 13> ROUND_TRIP_BOUNDS_US{
    100,    200,    500,     1'000,   2'000,   5'000,    10'000,
    20'000, 50'000, 100'000, 200'000, 500'000, 1'000'000};

struct round_trip_histogram {
    // counts[i]: trips in (bound i-1, bound i]; the last, trips above every bound. Kept
    // per bucket, summed into Prometheus' cumulative buckets when formatted.
    std::array<std::uint64_t, ROUND_TRIP_BOUNDS_US.size() + 1> counts{};
    std::uint64_t sum_us = 0;
};

void add_round_trip(round_trip_histogram& histogram, std::uint64_t round_trip_us);

// Everything the exposition shows, but the port's label.
struct metrics_values {
    std::uint64_t greetings = 0;
    std::uint64_t responses = 0;
    std::uint64_t no_response = 0;
    std::uint64_t cycles_away = 0;
    std::uint64_t crc_warnings = 0;
    std::uint64_t escape_warnings = 0;
    std::uint64_t length_warnings = 0;
    // no response with the port open, by cause, in the order of CAUSE_NAMES
    std::array<std::uint64_t, NO_RESPONSE_CAUSES> causes{};
    std::uint64_t port_lost = 0;
    bool port_up = false;
    bool running = true;                      // false once the run is over, by itself or stopped
    std::uint64_t started_unix_us = 0;        // when the tool started
    std::uint64_t port_changed_unix_us = 0;   // when the port last opened or went away
    std::string_view version;                 // the tool's, for the build-info sample
    std::uint64_t last_response_unix_us = 0;  // 0 until the first response
    std::uint64_t updated_unix_us = 0;        // when the file was last written
    round_trip_histogram round_trips;
    std::uint64_t interval_ms = 0;  // the run's pace (-i, -W) and line speed (-b)
    std::uint64_t timeout_ms = 0;
    std::uint64_t baud = 0;
};

// The labels the tool's samples carry: the run's (port, file) and the families' own.
inline constexpr std::array<std::string_view, 6> TOOL_LABELS{"port",  "file", "kind",
                                                             "cause", "le",   "version"};

// One label of every sample: its name and its value as raw bytes.
struct label_pair {
    std::string_view name;
    std::string_view value;
};

// Room for the labels every sample carries (the port, the file, a lab's own), escaped.
// Kept well below METRICS_TEXT_MAX's share per sample, so the exposition always fits.
inline constexpr std::size_t LABELS_MAX = 1536;
// Room for the whole exposition with the longest labels and the largest numbers.
inline constexpr std::size_t METRICS_TEXT_MAX = 64 * 1024;
// The most --label options a run takes.
inline constexpr std::size_t LAB_LABELS_MAX = 8;

// Why name cannot be a lab's own label (--label NAME=VALUE), or nullptr when it can: a
// label name of Prometheus' form, not one the tool's samples already carry, nor one of
// the names Prometheus keeps for itself.
const char* lab_label_problem(std::string_view name);

// Writes the labels as name="value",... for the inside of a sample's braces. A value
// is escaped as the exposition format asks (backslash, double quote, line feed), and
// bytes that are not UTF-8 are written as the four characters \xHH (HH their value in
// lower-case hex), so the file is always valid UTF-8. Returns the size, or nullopt when
// it does not fit in out.
std::optional<std::size_t> format_labels(std::span<const label_pair> labels, std::span<char> out);

// Writes the exposition, every sample labelled with labels (as format_labels writes
// them), into out. Returns its size, or 0 when it does not fit.
std::size_t format_metrics(const metrics_values& values, std::string_view labels,
                           std::span<char> out);
