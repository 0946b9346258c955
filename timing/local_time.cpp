#include "timing/local_time.h"

#include <atomic>
#include <chrono>

namespace {

constexpr std::int64_t US_PER_S = 1'000'000;
constexpr std::int64_t S_PER_DAY = 86'400;

struct civil_date {
    std::int64_t year;
    int month;
    int day;
};

// Days since 1970-01-01 to a proleptic Gregorian date and back, in whole eras of 400
// years (146,097 days) so that both work for any date without a table.
std::int64_t days_of_civil(std::int64_t year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t year_of_era = year - era * 400;
    const std::int64_t day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const std::int64_t day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + day_of_era - 719468;
}

civil_date civil_of_days(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t day_of_era = days - era * 146097;
    const std::int64_t year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const std::int64_t day_of_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const std::int64_t shifted_month = (5 * day_of_year + 2) / 153;
    const auto day = static_cast<int>(day_of_year - (153 * shifted_month + 2) / 5 + 1);
    const auto month = static_cast<int>(shifted_month < 10 ? shifted_month + 3 : shifted_month - 9);
    return {year_of_era + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

// Floor division, so that instants before 1970 still fall into the right second and day.
std::int64_t floor_div(std::int64_t value, std::int64_t by) {
    const std::int64_t quotient = value / by;
    return quotient * by > value ? quotient - 1 : quotient;
}

char* put_digits(char* out, std::int64_t value, int width) {
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

// Written by the main thread, read by a signal handler: whole, never torn.
std::atomic<std::int32_t> last_offset_s{0};
static_assert(std::atomic<std::int32_t>::is_always_lock_free, "read from a signal handler");

std::int64_t unix_now_us() {
    // clock_gettime underneath on Linux, which a signal handler may call.
    const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::microseconds>(since_epoch).count();
}

}  // namespace

local_time local_now() {
    const std::int64_t us = unix_now_us();
    const std::int32_t offset = zone_offset_at(floor_div(us, US_PER_S));
    last_offset_s.store(offset, std::memory_order_relaxed);
    return {us, offset};
}

local_time local_now_in_last_zone() {
    return {unix_now_us(), last_offset_s.load(std::memory_order_relaxed)};
}

std::int64_t seconds_of_civil(std::int64_t year, int month, int day, int hour, int minute,
                              int second) {
    return days_of_civil(year, month, day) * S_PER_DAY + std::int64_t{hour} * 3600 +
           std::int64_t{minute} * 60 + second;
}

std::size_t format_iso8601(const local_time& when, iso8601_text& out) {
    const std::int64_t offset_us = std::int64_t{when.utc_offset_s} * US_PER_S;
    const std::int64_t local_us = when.unix_us + offset_us;
    const std::int64_t seconds = floor_div(local_us, US_PER_S);
    const std::int64_t ms = (local_us - seconds * US_PER_S) / 1000;
    const std::int64_t days = floor_div(seconds, S_PER_DAY);
    const std::int64_t of_day = seconds - days * S_PER_DAY;
    const civil_date date = civil_of_days(days);
    // Four digits of year: the years people log in.
    const std::int64_t year = date.year < 0 ? 0 : date.year % 10000;
    const std::int32_t offset_minutes =
        (when.utc_offset_s < 0 ? -when.utc_offset_s : when.utc_offset_s) / 60;

    char* at = out.data();
    at = put_digits(at, year, 4);
    *at++ = '-';
    at = put_digits(at, date.month, 2);
    *at++ = '-';
    at = put_digits(at, date.day, 2);
    *at++ = 'T';
    at = put_digits(at, of_day / 3600, 2);
    *at++ = ':';
    at = put_digits(at, of_day / 60 % 60, 2);
    *at++ = ':';
    at = put_digits(at, of_day % 60, 2);
    *at++ = '.';
    at = put_digits(at, ms, 3);
    *at++ = when.utc_offset_s < 0 ? '-' : '+';
    at = put_digits(at, offset_minutes / 60 % 100, 2);
    *at++ = ':';
    at = put_digits(at, offset_minutes % 60, 2);
    return static_cast<std::size_t>(at - out.data());
}
