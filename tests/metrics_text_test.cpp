// The exposition's text: label escaping, the round-trip buckets, and the numbers as
// Prometheus reads them. That node_exporter and promtool accept it is tested against
// them (tests/e2e/metrics_e2e_test.cpp).
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "metrics/metrics_text.h"

namespace {

std::string exposition(const metrics_values& values, std::string_view label = R"(port="COM1")") {
    static std::array<char, METRICS_TEXT_MAX> text{};
    return std::string(text.data(), format_metrics(values, label, text));
}

TEST(MetricsText, LabelValuesAreEscapedAndAlwaysUtf8) {
    const struct {
        std::string value;
        std::optional<std::string> label;
    } cases[] = {
        {"COM1", R"(a="COM1")"},
        {"", R"(a="")"},
        {R"(a"b\c)", R"(a="a\"b\\c")"},
        {"two\nlines\r", "a=\"two\\nlines\r\""},
        // Well-formed UTF-8 stays; every byte of a broken sequence is written as \xHH.
        {"Pr\xc3\xbc"
         "fstand \xe2\x82\xac \xf0\x9f\x94\x8c",
         "a=\"Pr\xc3\xbc"
         "fstand \xe2\x82\xac \xf0\x9f\x94\x8c\""},
        {"\xff\xc3(\xe2\x82", R"(a="\\xff\\xc3(\\xe2\\x82")"},
        {"\xc0\xaf\xed\xa0\x80", R"(a="\\xc0\\xaf\\xed\\xa0\\x80")"},  // overlong, surrogate
        {std::string(LABELS_MAX / 2, '"'), std::nullopt},
    };
    for (const auto& c : cases) {
        std::array<char, LABELS_MAX> out{};
        const std::array<label_pair, 1> labels{{{"a", c.value}}};
        const auto size = format_labels(labels, out);
        ASSERT_EQ(size.has_value(), c.label.has_value()) << c.value;
        if (size) {
            EXPECT_EQ(std::string(out.data(), *size), *c.label);
        }
    }
}

TEST(MetricsText, RoundTripsFillCumulativeBucketsInSeconds) {
    const struct {
        const char* name;
        std::vector<std::uint64_t> trips_us;
        std::vector<std::string> lines;  // each must be in the exposition
    } cases[] = {
        {"none yet",
         {},
         {R"(tervalo_round_trip_seconds_bucket{port="COM1",le="0.0001"} 0)",
          R"(tervalo_round_trip_seconds_bucket{port="COM1",le="+Inf"} 0)",
          R"(tervalo_round_trip_seconds_sum{port="COM1"} 0)",
          R"(tervalo_round_trip_seconds_count{port="COM1"} 0)"}},
        {"bounds are inclusive; past the deadline counts in +Inf only",
         {100, 101, 0, 1'000'000, 1'000'001},
         {R"(tervalo_round_trip_seconds_bucket{port="COM1",le="0.0001"} 2)",
          R"(tervalo_round_trip_seconds_bucket{port="COM1",le="0.0002"} 3)",
          R"(tervalo_round_trip_seconds_bucket{port="COM1",le="0.5"} 3)",
          R"(tervalo_round_trip_seconds_bucket{port="COM1",le="1"} 4)",
          R"(tervalo_round_trip_seconds_bucket{port="COM1",le="+Inf"} 5)",
          R"(tervalo_round_trip_seconds_sum{port="COM1"} 2.000202)",
          R"(tervalo_round_trip_seconds_count{port="COM1"} 5)"}},
        {"sums exact to the microsecond, without trailing zeros",
         {1500, 2500, 46'000},
         {R"(tervalo_round_trip_seconds_bucket{port="COM1",le="0.002"} 1)",
          R"(tervalo_round_trip_seconds_bucket{port="COM1",le="0.005"} 2)",
          R"(tervalo_round_trip_seconds_bucket{port="COM1",le="0.05"} 3)",
          R"(tervalo_round_trip_seconds_sum{port="COM1"} 0.05)"}},
    };
    for (const auto& c : cases) {
        metrics_values values;
        for (const std::uint64_t trip : c.trips_us) {
            add_round_trip(values.round_trips, trip);
        }
        const std::string text = exposition(values);
        for (const std::string& line : c.lines) {
            EXPECT_NE(text.find(line + "\n"), std::string::npos) << c.name << ": " << line;
        }
    }
}

TEST(MetricsText, CountersGaugesAndTheirFamilies) {
    metrics_values values;
    values.greetings = 12;
    values.responses = 9;
    values.no_response = 3;
    values.crc_warnings = 1;
    values.escape_warnings = 2;
    values.length_warnings = 4;
    values.port_lost = 1;
    values.causes[2] = 5;
    values.port_up = true;
    values.last_response_unix_us = 1'765'000'000'123'000;
    values.interval_ms = 250;
    values.baud = 115200;
    values.cycles_away = 2;
    values.running = false;
    values.version = "1.2.3";
    const std::string text = exposition(values, R"(port="C\"M")");
    for (const char* line : {
             R"(tervalo_greetings_total{port="C\"M"} 12)",
             R"(tervalo_responses_total{port="C\"M"} 9)",
             R"(tervalo_no_response_total{port="C\"M"} 3)",
             R"(tervalo_warnings_total{port="C\"M",kind="crc"} 1)",
             R"(tervalo_warnings_total{port="C\"M",kind="escape"} 2)",
             R"(tervalo_warnings_total{port="C\"M",kind="length"} 4)",
             R"(tervalo_no_response_causes_total{port="C\"M",cause="cut"} 5)",
             R"(tervalo_port_lost_total{port="C\"M"} 1)",
             R"(tervalo_port_up{port="C\"M"} 1)",
             R"(tervalo_port_away_total{port="C\"M"} 2)",
             R"(tervalo_running{port="C\"M"} 0)",
             R"(tervalo_build_info{port="C\"M",version="1.2.3"} 1)",
             R"(tervalo_last_response_timestamp_seconds{port="C\"M"} 1765000000.123)",
             "# TYPE tervalo_greetings_total counter",
             "# TYPE tervalo_port_up gauge",
             R"(tervalo_interval_seconds{port="C\"M"} 0.25)",
             R"(tervalo_baud{port="C\"M"} 115200)",
             "# TYPE tervalo_round_trip_seconds histogram",
         }) {
        EXPECT_NE(text.find(std::string(line) + "\n"), std::string::npos) << line;
    }
    // Each family is introduced once, by its help and its type.
    std::size_t helps = 0;
    std::size_t types = 0;
    for (std::size_t at = 0; (at = text.find("\n# ", at)) != std::string::npos; ++at) {
        text.compare(at, 8, "\n# HELP ") == 0 ? ++helps : ++types;
    }
    EXPECT_TRUE(text.starts_with("# HELP tervalo_greetings_total "));
    EXPECT_EQ(helps + 1, 18U);
    EXPECT_EQ(types, 18U);
}

TEST(MetricsText, TheLargestExpositionFitsAndASmallerBufferIsRefusedNotCut) {
    metrics_values values;
    values.greetings = values.responses = values.no_response = values.crc_warnings =
        values.escape_warnings = values.length_warnings = values.port_lost =
            values.last_response_unix_us = values.round_trips.sum_us = values.cycles_away =
                values.started_unix_us = values.port_changed_unix_us = UINT64_MAX;
    values.version = "255.255.255-rc255";
    values.causes.fill(UINT64_MAX);
    values.round_trips.counts.fill(UINT64_MAX / values.round_trips.counts.size());
    const std::string label(LABELS_MAX, 'x');
    static std::array<char, METRICS_TEXT_MAX> text{};
    const std::size_t size = format_metrics(values, label, text);
    ASSERT_GT(size, 0U);
    EXPECT_EQ(text[size - 1], '\n');
    EXPECT_EQ(format_metrics(values, label, std::span<char>(text.data(), size - 1)), 0U);
}

}  // namespace
