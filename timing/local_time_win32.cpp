#include <windows.h>

#include "timing/local_time.h"

namespace {

// FILETIME counts 100 ns intervals from 1601-01-01, 11,644,473,600 s before 1970.
constexpr std::int64_t FILETIME_PER_S = 10'000'000;
constexpr std::int64_t FILETIME_UNIX_EPOCH_S = 11'644'473'600;

}  // namespace

// From the system's time zone, with the rules of the instant's own year: never from the
// TZ variable, which the C runtime reads in a format of its own and takes "Europe/Berlin"
// for UTC. The offset is how far the local time, read as if it were UTC, lies from the
// instant it came from.
std::int32_t zone_offset_at(std::int64_t unix_s) {
    const auto ticks = static_cast<ULONGLONG>((unix_s + FILETIME_UNIX_EPOCH_S) * FILETIME_PER_S);
    const FILETIME file_time{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    TIME_ZONE_INFORMATION zone{};
    // Each returns nonzero upon success. A null zone is the system's own.
    if (FileTimeToSystemTime(&file_time, &utc) == 0 ||
        GetTimeZoneInformationForYear(utc.wYear, nullptr, &zone) == 0 ||
        SystemTimeToTzSpecificLocalTime(&zone, &utc, &local) == 0) {
        return 0;
    }
    const std::int64_t as_utc = seconds_of_civil(local.wYear, local.wMonth, local.wDay, local.wHour,
                                                 local.wMinute, local.wSecond);
    return static_cast<std::int32_t>(as_utc - unix_s);
}
