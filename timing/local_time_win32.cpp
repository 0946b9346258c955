#include <windows.h>

#include "timing/local_time.h"

namespace {

// FILETIME counts 100 ns intervals from 1601-01-01, 11,644,473,600 s before 1970.
constexpr std::int64_t FILETIME_PER_S = 10'000'000;
constexpr std::int64_t FILETIME_UNIX_EPOCH_S = 11'644'473'600;

// The zone's rules come from the registry, two keys and several values each time: read
// per greeting, they cost far more than the greeting back to back. They change when
// someone changes the zone, so they are read again at most this often, and for another
// year when the instants reach it.
constexpr ULONGLONG ZONE_READ_EVERY_MS = 60'000;

struct zone_rules {
    bool known = false;
    WORD year = 0;
    ULONGLONG read_at_ms = 0;
    TIME_ZONE_INFORMATION zone{};
};
// The cycle's thread alone reads the zone; a stop's records use the last offset found.
zone_rules rules;

// Returns nonzero upon success, as the calls it makes do.
BOOL rules_for(WORD year) {
    const ULONGLONG now = GetTickCount64();
    if (rules.known && rules.year == year && now - rules.read_at_ms < ZONE_READ_EVERY_MS) {
        return TRUE;
    }
    // A null zone is the system's own.
    rules.known = GetTimeZoneInformationForYear(year, nullptr, &rules.zone) != 0;
    rules.year = year;
    rules.read_at_ms = now;
    return rules.known ? TRUE : FALSE;
}

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
    // Each returns nonzero upon success.
    if (FileTimeToSystemTime(&file_time, &utc) == 0 || rules_for(utc.wYear) == 0 ||
        SystemTimeToTzSpecificLocalTime(&rules.zone, &utc, &local) == 0) {
        return 0;
    }
    const std::int64_t as_utc = seconds_of_civil(local.wYear, local.wMonth, local.wDay, local.wHour,
                                                 local.wMinute, local.wSecond);
    return static_cast<std::int32_t>(as_utc - unix_s);
}
