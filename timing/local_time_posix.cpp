#include <ctime>

#include "timing/local_time.h"

// glibc's tm_gmtoff is the offset in force at that instant, daylight saving included.
// localtime_r reads the zone once and keeps it: no file is read again later.
std::int32_t zone_offset_at(std::int64_t unix_s) {
    const auto seconds = static_cast<std::time_t>(unix_s);
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return 0;
    }
    return static_cast<std::int32_t>(local.tm_gmtoff);
}
