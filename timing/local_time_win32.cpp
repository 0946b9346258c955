#include <ctime>

#include "timing/local_time.h"

// The C runtime's struct tm has no offset field: the offset is how far the local
// broken-down time, read as if it were UTC, lies from the instant it came from.
std::int32_t zone_offset_at(std::int64_t unix_s) {
    const auto seconds = static_cast<std::time_t>(unix_s);
    std::tm local{};
    if (localtime_s(&local, &seconds) != 0) {
        return 0;
    }
    const std::int64_t as_utc =
        seconds_of_civil(std::int64_t{local.tm_year} + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour, local.tm_min, local.tm_sec);
    return static_cast<std::int32_t>(as_utc - unix_s);
}
