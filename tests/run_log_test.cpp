// The pieces of the run log's lines that a reader relies on: the time as ISO 8601 local
// time with its offset, and payload bytes as JSON strings that give the bytes back.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

#include "run_log/run_log.h"
#include "timing/local_time.h"

namespace {

TEST(LocalTime, FormatsIso8601WithMillisecondsAndTheOffset) {
    const struct {
        local_time when;
        const char* text;
    } cases[] = {
        {{1796734987412000, 3600}, "2026-12-08T14:03:07.412+01:00"},
        // Microseconds are cut, not rounded: the time never runs ahead.
        {{1709230499999999, 5 * 3600 + 45 * 60}, "2024-02-29T23:59:59.999+05:45"},
        {{946697340000000, -(3 * 3600 + 30 * 60)}, "1999-12-31T23:59:00.000-03:30"},
        {{0, 0}, "1970-01-01T00:00:00.000+00:00"},
        {{-1, 0}, "1969-12-31T23:59:59.999+00:00"},
        {{4107542399999000, 0}, "2100-02-28T23:59:59.999+00:00"},
        {{4107542400000000, 14 * 3600}, "2100-03-01T14:00:00.000+14:00"},
        {{951782400000000, -12 * 3600}, "2000-02-28T12:00:00.000-12:00"},
    };
    for (const auto& c : cases) {
        iso8601_text text{};
        const std::size_t size = format_iso8601(c.when, text);
        EXPECT_EQ(std::string(text.data(), size), c.text);
    }
}

TEST(LocalTime, TheOffsetIsTheLocalClockMinusUtc) {
    // The civil reading of an instant, taken as UTC, lies the offset away from it.
    for (const std::int64_t unix_s :
         {std::int64_t{0}, std::int64_t{1796734987}, std::int64_t{1719792000}}) {
        const std::int32_t offset = zone_offset_at(unix_s);
        EXPECT_GE(offset, -14 * 3600);
        EXPECT_LE(offset, 14 * 3600);
        iso8601_text text{};
        format_iso8601({unix_s * 1'000'000, offset}, text);
        const std::string stamp(text.data(), text.size());
        const std::int64_t read_back =
            seconds_of_civil(std::stoll(stamp.substr(0, 4)), std::stoi(stamp.substr(5, 2)),
                             std::stoi(stamp.substr(8, 2)), std::stoi(stamp.substr(11, 2)),
                             std::stoi(stamp.substr(14, 2)), std::stoi(stamp.substr(17, 2)));
        EXPECT_EQ(read_back - unix_s, offset) << stamp;
    }
}

TEST(LogStrings, EveryByteIsOneCodePointAndJsonSafe) {
    const struct {
        std::vector<std::uint8_t> bytes;
        std::string json;
    } cases[] = {
        {{}, R"("")"},
        {{'O', 'K', ' ', '~'}, R"("OK ~")"},
        {{'"', '\\', '/'}, R"("\"\\/")"},
        {{'\n', '\r', '\t'}, R"("\n\r\t")"},
        {{0x00, 0x01, 0x1f, 0x7f}, R"("\u0000\u0001\u001f\u007f")"},
        {{0x80, 0xc3, 0xa9, 0xff}, R"("\u0080\u00c3\u00a9\u00ff")"},
    };
    for (const auto& c : cases) {
        std::array<char, 64> out{};
        const std::size_t size = json_string(c.bytes, out);
        EXPECT_EQ(std::string(out.data(), size), c.json);
    }
    // The longest payload, every byte at its widest, fits the log's line.
    const std::vector<std::uint8_t> widest(65534, 0x01);
    std::vector<char> out(6 * widest.size() + 3);
    EXPECT_EQ(json_string(widest, out), 6 * widest.size() + 2);
}

}  // namespace
