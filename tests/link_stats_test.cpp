// The summary written when the tool is stopped, from the cycles it recorded.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "link_stats/link_stats.h"

namespace {

struct cycle {
    std::optional<std::int64_t> round_trip_ms;  // nullopt: no response
    std::vector<link_warning> warnings = {};
    bool port_away = false;
    int times = 1;
};

std::string summary_of(const std::vector<cycle>& cycles) {
    LinkStats stats;
    for (const cycle& c : cycles) {
        for (int i = 0; i < c.times; ++i) {
            count_cycle_start(stats, c.port_away);
            for (const link_warning warning : c.warnings) {
                count_warning(stats, warning);
            }
            if (c.round_trip_ms) {
                count_response(stats, *c.round_trip_ms);
            } else {
                count_no_response(stats);
            }
        }
    }
    std::array<char, SUMMARY_MAX> text{};
    return std::string(text.data(), format_summary(stats, text));
}

const std::string HEADER = "--- tervalo summary ---\n";

TEST(LinkSummary, CountsShareAndRoundTripsOverRecordedCycles) {
    using enum link_warning;
    const struct {
        const char* name;
        std::vector<cycle> cycles;
        std::string expected;
    } cases[] = {
        {"stopped before the first greeting",
         {},
         "greetings 0, responses 0\n"
         "warnings: no response 0, crc 0, escape 0, length 0; port away 0 cycles\n"
         "round trip: no responses\n"},
        {"never answered, the port away for two cycles",
         {{std::nullopt, {crc, crc}}, {std::nullopt, {}, true, 2}},
         "greetings 3, responses 0, 0.0% answered\n"
         "warnings: no response 3, crc 2, escape 0, length 0; port away 2 cycles\n"
         "round trip: no responses\n"},
        {"a mix: every warning, the median the middle trip",
         {{5}, {std::nullopt, {length}}, {3, {escape}}, {std::nullopt, {}, true}, {7, {crc}}},
         "greetings 5, responses 3, 60.0% answered\n"
         "warnings: no response 2, crc 1, escape 1, length 1; port away 1 cycles\n"
         "round trip: min 3 ms, median 5 ms, max 7 ms\n"},
        {"an even count gives the lower middle; the share is cut, not rounded",
         {{100}, {2}, {2500}, {1}, {std::nullopt, {}, false, 2}},
         "greetings 6, responses 4, 66.6% answered\n"
         "warnings: no response 2, crc 0, escape 0, length 0; port away 0 cycles\n"
         "round trip: min 1 ms, median 2 ms, max 2500 ms\n"},
        {"999 of 1000 is not 100%",
         {{4, {}, false, 999}, {std::nullopt}},
         "greetings 1000, responses 999, 99.9% answered\n"
         "warnings: no response 1, crc 0, escape 0, length 0; port away 0 cycles\n"
         "round trip: min 4 ms, median 4 ms, max 4 ms\n"},
        {"the last bucket still gives its value",
         {{2000}, {0}, {2000}},
         "greetings 3, responses 3, 100.0% answered\n"
         "warnings: no response 0, crc 0, escape 0, length 0; port away 0 cycles\n"
         "round trip: min 0 ms, median 2000 ms, max 2000 ms\n"},
        {"a median in the overflow bucket is given as its bound; min and max stay exact",
         {{10}, {2001}, {65000}},
         "greetings 3, responses 3, 100.0% answered\n"
         "warnings: no response 0, crc 0, escape 0, length 0; port away 0 cycles\n"
         "round trip: min 10 ms, median >2000 ms, max 65000 ms\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(summary_of(c.cycles), HEADER + c.expected) << c.name;
    }
}

TEST(LinkSummary, TheLargestNumbersFitAndASmallBufferIsNeverOverrun) {
    LinkStats stats;
    for (counter* value : {&stats.greetings, &stats.responses, &stats.no_response,
                           &stats.crc_errors, &stats.escape_errors, &stats.length_errors,
                           &stats.cycles_away, &stats.round_trip_min, &stats.round_trip_max}) {
        value->store(UINT64_MAX - 1);
    }
    stats.round_trips.back().store(UINT32_MAX);
    std::array<char, SUMMARY_MAX> text{};
    const std::size_t size = format_summary(stats, text);
    const std::string summary(text.data(), size);
    EXPECT_LT(size, SUMMARY_MAX);
    EXPECT_NE(summary.find("responses 18446744073709551614, 100.0% answered\n"), std::string::npos)
        << summary;
    EXPECT_TRUE(summary.ends_with(" ms, max 18446744073709551614 ms\n")) << summary;

    std::array<char, 12> small{};
    small.back() = '#';
    EXPECT_EQ(format_summary(stats, std::span(small).first(11)), 11u);
    EXPECT_EQ(std::string(small.data(), 12), "--- tervalo#");
}

}  // namespace
