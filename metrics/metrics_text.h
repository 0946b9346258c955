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
    std::uint64_t crc_warnings = 0;
    std::uint64_t escape_warnings = 0;
    std::uint64_t length_warnings = 0;
    // no response with the port open, by cause, in the order of CAUSE_NAMES
    std::array<std::uint64_t, NO_RESPONSE_CAUSES> causes{};
    std::uint64_t port_lost = 0;
    bool port_up = false;
    std::uint64_t last_response_unix_us = 0;  // 0 until the first response
    round_trip_histogram round_trips;
};

// The longest port name the label takes. Longer names cannot be opened anyway: no
// device path holds them.
inline constexpr std::size_t PORT_LABEL_NAME_MAX = DEVICE_PATH_SIZE;
// Room for the label value of such a name with every byte escaped.
inline constexpr std::size_t PORT_LABEL_MAX = 2 * PORT_LABEL_NAME_MAX;
// Room for the whole exposition with the longest label and the largest numbers.
inline constexpr std::size_t METRICS_TEXT_MAX = 64 * 1024;

// Writes name as a label value: backslash, double quote and line feed escaped as the
// exposition format asks. Returns its size, or nullopt when name is longer than
// PORT_LABEL_NAME_MAX.
std::optional<std::size_t> escape_label_value(std::string_view name,
                                              std::span<char, PORT_LABEL_MAX> out);

// Writes the exposition, every sample labelled port="<port_label>" (an escaped label
// value), into out. Returns its size, or 0 when it does not fit.
std::size_t format_metrics(const metrics_values& values, std::string_view port_label,
                           std::span<char> out);
