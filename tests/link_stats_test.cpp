// The summary written when the tool is stopped or its run is over, from the cycles it
// recorded; the round-trip histogram's accuracy; the verdict of a bounded run.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "link_stats/link_stats.h"

namespace {

struct cycle {
    std::optional<std::int64_t> round_trip_us;  // nullopt: no response
    std::vector<link_warning> warnings = {};
    bool port_away = false;
    int times = 1;
};

void record_cycles(link_counters& stats, const std::vector<cycle>& cycles) {
    for (const cycle& c : cycles) {
        for (int i = 0; i < c.times; ++i) {
            count_cycle_start(stats, c.port_away);
            for (const link_warning warning : c.warnings) {
                count_warning(stats, {warning, 0, 0});
            }
            if (c.round_trip_us) {
                count_response(stats, *c.round_trip_us);
            } else if (!c.port_away) {
                count_no_response(stats);
                count_cause(stats, no_response_cause::cut);
            }
        }
    }
}

std::string summary_of(const std::vector<cycle>& cycles) {
    link_counters stats;
    record_cycles(stats, cycles);
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
         "no response by cause: silent 0, noise 0, cut 0, bad_frame 0, other_type 0\n"
         "round trip: no responses\n"},
        {"never answered, the port away for two cycles",
         {{std::nullopt, {crc, crc}}, {std::nullopt, {}, true, 2}},
         "greetings 3, responses 0, 0.0% answered\n"
         "warnings: no response 1, crc 2, escape 0, length 0; port away 2 cycles\n"
         "no response by cause: silent 0, noise 0, cut 1, bad_frame 0, other_type 0\n"
         "round trip: no responses\n"},
        {"a mix: every warning, the median the middle trip; exact below 128 us",
         {{50}, {std::nullopt, {length}}, {3, {escape}}, {std::nullopt, {}, true}, {127, {crc}}},
         "greetings 5, responses 3, 60.0% answered\n"
         "warnings: no response 1, crc 1, escape 1, length 1; port away 1 cycles\n"
         "no response by cause: silent 0, noise 0, cut 1, bad_frame 0, other_type 0\n"
         "round trip: min 0.003 ms, median 0.050 ms, p99 0.127 ms, max 0.127 ms\n"},
        {"an even count gives the lower middle, shown as the middle of its bucket (2000 to "
         "2015 us); the share is cut, not rounded",
         {{100'000}, {2'000}, {2'500'000}, {1'000}, {std::nullopt, {}, false, 2}},
         "greetings 6, responses 4, 66.6% answered\n"
         "warnings: no response 2, crc 0, escape 0, length 0; port away 0 cycles\n"
         "no response by cause: silent 0, noise 0, cut 2, bad_frame 0, other_type 0\n"
         "round trip: min 1.000 ms, median 2.007 ms, p99 2500.000 ms, max 2500.000 ms\n"},
        {"999 of 1000 is not 100%; p99 is the 990th of 999; the median is the middle of the "
         "bucket 4000 to 4031 us, p99 kept down to the maximum",
         {{4'000, {}, false, 980}, {9'000, {}, false, 19}, {std::nullopt}},
         "greetings 1000, responses 999, 99.9% answered\n"
         "warnings: no response 1, crc 0, escape 0, length 0; port away 0 cycles\n"
         "no response by cause: silent 0, noise 0, cut 1, bad_frame 0, other_type 0\n"
         "round trip: min 4.000 ms, median 4.015 ms, p99 9.000 ms, max 9.000 ms\n"},
        {"a median beyond the histogram is given as its top; min and max stay exact",
         {{10}, {70'000'000}, {90'000'000}},
         "greetings 3, responses 3, 100.0% answered\n"
         "warnings: no response 0, crc 0, escape 0, length 0; port away 0 cycles\n"
         "no response by cause: silent 0, noise 0, cut 0, bad_frame 0, other_type 0\n"
         "round trip: min 0.010 ms, median >67108.864 ms, p99 >67108.864 ms, max 90000.000 ms\n"},
        {"a negative reading counts as zero",
         {{-5}},
         "greetings 1, responses 1, 100.0% answered\n"
         "warnings: no response 0, crc 0, escape 0, length 0; port away 0 cycles\n"
         "no response by cause: silent 0, noise 0, cut 0, bad_frame 0, other_type 0\n"
         "round trip: min 0.000 ms, median 0.000 ms, p99 0.000 ms, max 0.000 ms\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(summary_of(c.cycles), HEADER + c.expected) << c.name;
    }
}

TEST(LinkSummary, TheLargestNumbersFitAndASmallBufferIsNeverOverrun) {
    link_counters stats;
    for (counter* value :
         {&stats.greetings, &stats.responses, &stats.no_response, &stats.crc_errors,
          &stats.escape_errors, &stats.length_errors, &stats.cycles_away, &stats.round_trip_min_us,
          &stats.round_trip_max_us}) {
        value->store(UINT64_MAX - 1);
    }
    for (counter& cause : stats.causes) {
        cause.store(UINT64_MAX - 1);
    }
    stats.round_trips.back().store(UINT32_MAX);
    std::array<char, SUMMARY_MAX> text{};
    const std::size_t size = format_summary(stats, text);
    const std::string summary(text.data(), size);
    EXPECT_LT(size, SUMMARY_MAX);
    EXPECT_NE(summary.find("responses 18446744073709551614, 100.0% answered\n"), std::string::npos)
        << summary;
    EXPECT_TRUE(summary.ends_with(" ms, max 18446744073709551.614 ms\n")) << summary;

    std::array<char, 12> small{};
    small.back() = '#';
    EXPECT_EQ(format_summary(stats, std::span(small).first(11)), 11u);
    EXPECT_EQ(std::string(small.data(), 12), "--- tervalo#");
}

// Within max(1 %, 10 us) of the true value, up to the reader's one-second deadline and
// beyond it, as a frame may finish after it.
bool close_enough(std::uint64_t shown, std::uint64_t truth) {
    const std::uint64_t error = shown > truth ? shown - truth : truth - shown;
    return error <= std::max<std::uint64_t>(10, truth / 100);
}

TEST(round_trip_histogram, EveryTripFallsInABucketWhoseValueIsWithinOnePercentOrTenMicroseconds) {
    // Every microsecond up to 2 ms, then every 7th up to 70 s: each bucket's value must
    // lie close to every trip in it, and buckets must follow the trips' order.
    std::size_t last_bucket = 0;
    for (std::uint64_t trip = 0; trip < ROUND_TRIP_TOP_US; trip += trip < 2000 ? 1 : 7) {
        const std::size_t bucket = round_trip_bucket(trip);
        ASSERT_LT(bucket, ROUND_TRIP_BUCKETS - 1) << trip;
        ASSERT_GE(bucket, last_bucket) << trip;
        ASSERT_TRUE(close_enough(bucket_value_us(bucket), trip))
            << trip << " us shown as " << bucket_value_us(bucket);
        last_bucket = bucket;
    }
    EXPECT_EQ(last_bucket, ROUND_TRIP_BUCKETS - 2);
    EXPECT_EQ(round_trip_bucket(ROUND_TRIP_TOP_US), ROUND_TRIP_BUCKETS - 1);
    EXPECT_EQ(round_trip_bucket(UINT64_MAX), ROUND_TRIP_BUCKETS - 1);
}

TEST(round_trip_histogram, QuantilesOfSeededDistributionsMatchTheExactOnes) {
    std::mt19937_64 random(20261208);  // deterministic
    const struct {
        const char* name;
        std::function<std::int64_t()> draw;
        int count;
    } distributions[] = {
        {"a pseudo-terminal: tens of microseconds",
         [&] { return std::int64_t{30} + static_cast<std::int64_t>(random() % 200); }, 5000},
        {"an FTDI adapter: around its 1 ms timer",
         [&] { return std::int64_t{900} + static_cast<std::int64_t>(random() % 1200); }, 3000},
        {"a slow device, late replies past the deadline",
         [&] {
             std::lognormal_distribution<double> slow(12.0, 1.0);
             return static_cast<std::int64_t>(std::min(slow(random), 3.0e6));
         },
         4000},
        {"a single trip", [] { return std::int64_t{123'456}; }, 1},
    };
    for (const auto& d : distributions) {
        link_counters stats;
        std::vector<std::uint64_t> trips;
        for (int i = 0; i < d.count; ++i) {
            const std::int64_t trip = d.draw();
            trips.push_back(static_cast<std::uint64_t>(trip));
            count_response(stats, trip);
        }
        std::sort(trips.begin(), trips.end());
        for (const std::uint64_t per_mille : {1u, 250u, 500u, 900u, 990u, 999u, 1000u}) {
            const std::size_t rank = (trips.size() * per_mille + 999) / 1000;
            const std::uint64_t truth = trips[std::max<std::size_t>(rank, 1) - 1];
            const std::uint64_t shown = round_trip_quantile_us(stats, per_mille);
            EXPECT_TRUE(close_enough(shown, truth))
                << d.name << ", " << per_mille << "/1000: " << shown << " us for " << truth;
        }
        EXPECT_EQ(stats.round_trip_min_us, trips.front()) << d.name;
        EXPECT_EQ(stats.round_trip_max_us, trips.back()) << d.name;
    }
}

TEST(RunVerdict, PassesWithAnAnswerAndAtMostTheAllowedLoss) {
    const struct {
        const char* name;
        std::vector<cycle> cycles;
        std::uint64_t max_loss_millionths;
        bool passes;
    } cases[] = {
        {"all answered", {{100, {}, false, 3}}, 0, true},
        {"one lost of three, none allowed", {{100, {}, false, 2}, {std::nullopt}}, 0, false},
        {"nothing sent", {}, 100'000'000, false},
        {"nothing answered, all allowed", {{std::nullopt, {}, false, 3}}, 100'000'000, false},
        {"0.5 % of 200 is one", {{100, {}, false, 199}, {std::nullopt}}, 500'000, true},
        {"just above 0.5 %", {{100, {}, false, 198}, {std::nullopt, {}, false, 2}}, 500'000, false},
        {"a third allowed to six decimals",
         {{100, {}, false, 2}, {std::nullopt}},
         33'333'333,
         false},
        {"a third and a bit", {{100, {}, false, 2}, {std::nullopt}}, 33'333'334, true},
        {"the port away counts as lost", {{100}, {std::nullopt, {}, true}}, 50'000'000, true},
    };
    for (const auto& c : cases) {
        link_counters stats;
        record_cycles(stats, c.cycles);
        EXPECT_EQ(link_held(stats, c.max_loss_millionths), c.passes) << c.name;
    }
}

// --fail-fast: answered, lost, limit (millionths of a %), most greetings, decided.
TEST(RunVerdict, IsDecidedOnceTheLossExceedsTheLimitOfTheWholeRun) {
    const std::uint64_t cases[][5] = {{3, 0, 0, 5, 0},
                                      {2, 1, 0, 100, 1},
                                      {199, 1, 500'000, 200, 0},
                                      {198, 2, 500'000, 200, 1},
                                      {2, 1, 33'333'333, 3, 1},
                                      {2, 1, 33'333'334, 3, 0},
                                      {0, 20, 1'000'000, 2000, 0},
                                      {0, 21, 1'000'000, 2000, 1}};
    for (const auto& c : cases) {
        link_counters stats;
        record_cycles(stats, {{100, {}, false, static_cast<int>(c[0])},
                              {std::nullopt, {}, false, static_cast<int>(c[1])}});
        EXPECT_EQ(loss_decided(stats, c[2], c[3]), c[4] == 1) << c[0] << " answered, " << c[1];
    }
}

}  // namespace
