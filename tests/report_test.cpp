// What the tool reports of a run: the summary and the verdict from the cycles it counted,
// the metrics exposition, and the pieces of the log's lines (times, payload strings).
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>

#include "link_stats/link_stats.h"
#include "metrics/metrics_text.h"
#include "run_log/run_log.h"
#include "tests/tables.h"
#include "timing/local_time.h"

namespace {

// Counts cycles written as in tests/tables/summary.tsv.
void count_cycles(link_counters& stats, const std::string& cycles) {
    std::istringstream words(cycles);
    for (std::string word; words >> word;) {
        const std::size_t star = std::min(word.find('*'), word.size());
        const std::string cycle = word.substr(0, star);
        const std::string trip = cycle.substr(0, cycle.find('/'));
        for (int i = star < word.size() ? std::stoi(word.substr(star + 1)) : 1; i > 0; --i) {
            count_cycle_start(stats, trip == "away");
            for (const char w : cycle.substr(trip.size())) {
                if (w != '/') {  // c, e, l: the order of link_warning
                    count_warning(stats,
                                  {static_cast<link_warning>(std::string("cel").find(w)), 0, 0});
                }
            }
            if (trip == "-") {
                count_no_response(stats);
                count_cause(stats, no_response_cause::cut);
            } else if (trip != "away") {
                count_response(stats, std::stoll(trip));
            }
        }
    }
}

TEST(LinkSummary, CountsShareAndRoundTripsOverRecordedCycles) {
    for (const table_row& row : table("summary")) {
        link_counters stats;
        count_cycles(stats, row[0]);
        std::array<char, SUMMARY_MAX> text{};
        EXPECT_EQ(std::string(text.data(), format_summary(stats, text)),
                  "--- tervalo summary ---\n" + row[1])
            << row[0];
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
    EXPECT_NE(summary.find("responses 18446744073709551614, 100.0% answered\n"), std::string::npos);
    EXPECT_TRUE(summary.ends_with(" ms, max 18446744073709551.614 ms\n")) << summary;
    std::array<char, 12> small{};
    small.back() = '#';
    EXPECT_EQ(format_summary(stats, std::span(small).first(11)), 11U);
    EXPECT_EQ(std::string(small.data(), 12), "--- tervalo#");
}

TEST(RunVerdict, PassesWithAnAnswerAndAtMostTheAllowedLoss) {
    for (const table_row& row : table("verdict")) {
        link_counters stats;
        count_cycles(stats, row[0]);
        const std::uint64_t limit = std::stoull(row[1]);
        EXPECT_EQ(link_held(stats, limit), row[2] == "1") << row[0] << " at " << row[1];
        EXPECT_EQ(loss_decided(stats, limit, std::stoull(row[3])), row[4] == "1")
            << row[0] << " at " << row[1] << " of " << row[3];
    }
}

std::string exposition(const metrics_values& values, std::string_view label) {
    static std::array<char, METRICS_TEXT_MAX> text{};
    return std::string(text.data(), format_metrics(values, label, text));
}

TEST(MetricsText, LabelValuesAreEscapedAndAlwaysUtf8) {
    for (const table_row& row : table("metrics_labels")) {
        std::array<char, LABELS_MAX> out{};
        const std::array<label_pair, 1> labels{{{"a", row[0].c_str()}}};
        const auto size = format_labels(labels, out);
        ASSERT_TRUE(size) << row[0];
        EXPECT_EQ(std::string(out.data(), *size), row[1]);
    }
    const std::string too_long(LABELS_MAX / 2, '"');
    std::array<char, LABELS_MAX> out{};
    EXPECT_FALSE(format_labels(std::array<label_pair, 1>{{{"a", too_long}}}, out));
}

TEST(MetricsText, RoundTripsFillCumulativeBucketsInSeconds) {
    for (const table_row& row : table("metrics_round_trips")) {
        metrics_values values;
        std::istringstream trips(row[0]);
        for (std::uint64_t trip = 0; trips >> trip;) {
            add_round_trip(values.round_trips, trip);
        }
        EXPECT_NE(exposition(values, R"(port="COM1")").find(row[1] + "\n"), std::string::npos)
            << row[0] << ": " << row[1];
    }
}

TEST(MetricsText, CountersGaugesAndTheirFamilies) {
    const metrics_values values{.greetings = 12,
                                .responses = 9,
                                .no_response = 3,
                                .cycles_away = 2,
                                .crc_warnings = 1,
                                .escape_warnings = 2,
                                .length_warnings = 4,
                                .causes = {0, 0, 5, 0, 0},
                                .port_lost = 1,
                                .port_up = true,
                                .running = false,
                                .version = "1.2.3",
                                .last_response_unix_us = 1'765'000'000'123'000,
                                .round_trips = {},
                                .interval_ms = 250,
                                .baud = 115200};
    const std::string text = exposition(values, R"(port="C\"M")");
    for (const table_row& row : table("metrics_values")) {
        EXPECT_NE(text.find(row[0] + "\n"), std::string::npos) << row[0];
    }
    // Each family is introduced once, by its help and its type.
    std::map<std::string, int> starts;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        ++starts[line.substr(0, 7)];
    }
    EXPECT_TRUE(text.starts_with("# HELP tervalo_greetings_total "));
    EXPECT_EQ(starts["# HELP "], 18);
    EXPECT_EQ(starts["# TYPE "], 18);
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

TEST(LocalTime, FormatsIso8601WithMillisecondsAndTheOffsetOfTheZone) {
    for (const table_row& row : table("local_time")) {
        iso8601_text text{};
        const local_time when{std::stoll(row[0]), std::stoi(row[1])};
        EXPECT_EQ(std::string(text.data(), format_iso8601(when, text)), row[2]);
    }
    // The zone's offset is the local clock minus UTC: the local reading, taken as UTC.
    const std::int64_t unix_s = 1719792000;
    iso8601_text text{};
    format_iso8601({unix_s * 1'000'000, zone_offset_at(unix_s)}, text);
    const auto at = [&](std::size_t from, std::size_t size) {
        return std::stoi(std::string(text.data() + from, size));
    };
    EXPECT_EQ(
        seconds_of_civil(at(0, 4), at(5, 2), at(8, 2), at(11, 2), at(14, 2), at(17, 2)) - unix_s,
        zone_offset_at(unix_s));
}

TEST(LogStrings, EveryByteIsOneCodePointAndJsonSafe) {
    for (const table_row& row : table("log_strings")) {
        const std::vector<std::uint8_t> payload(row[0].begin(), row[0].end());
        std::array<char, 64> out{};
        EXPECT_EQ(std::string(out.data(), json_string(payload, out)), row[1]);
    }
    // The longest payload, every byte at its widest, fits the log's line.
    const std::vector<std::uint8_t> widest(65534, 0x01);
    std::vector<char> out(6 * widest.size() + 3);
    EXPECT_EQ(json_string(widest, out), 6 * widest.size() + 2);
}

}  // namespace
