// Wall-clock time as people read it: local time in ISO 8601 with milliseconds and the
// offset from UTC, "2026-12-08T14:03:07.412+01:00". The one place that forms it, for
// the timestamps of standard-output lines and for the run log.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

struct local_time {
    std::int64_t unix_us;       // microseconds since 1970-01-01 00:00 UTC
    std::int32_t utc_offset_s;  // local time minus UTC, in seconds
};

// "YYYY-MM-DDThh:mm:ss.mmm+hh:mm": 29 characters.
inline constexpr std::size_t ISO8601_SIZE = 29;
using iso8601_text = std::array<char, ISO8601_SIZE>;

// The time now and the local zone's offset at that time. Reads the zone, so not for a
// signal handler; remembers the offset for local_now_in_last_zone.
local_time local_now();

// The time now with the offset the last local_now found (UTC before the first call):
// only clock reading and arithmetic, so a signal handler may call it.
local_time local_now_in_last_zone();

// Writes when as ISO 8601 local time into out and returns the text's size, always
// ISO8601_SIZE; out is not terminated. Calls no library function.
std::size_t format_iso8601(const local_time& when, iso8601_text& out);

// The local zone's offset from UTC at the given second, in seconds; 0 when the system
// cannot say. Each platform has its own backend file.
std::int32_t zone_offset_at(std::int64_t unix_s);

// The seconds from 1970-01-01 00:00 to the given date and time, read as UTC: what a
// broken-down local time and the time it came from differ by is the zone's offset.
std::int64_t seconds_of_civil(std::int64_t year, int month, int day, int hour, int minute,
                              int second);
