#include "link_stats/link_stats.h"

#include <bit>
#include <string_view>

#include "link_stats/text_out.h"

link_counters link_stats;
cycle_warnings warnings_this_cycle;

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// Written once before any stop can take the summary, read only afterwards.
run_pace summary_pace{};
bool pace_said = false;
run_verdict summary_verdict{};
bool verdict_said = false;
// Whether a cycle has begun and not ended, and whether it began with the port away.
std::atomic<bool> cycle_open{false};
std::atomic<bool> open_cycle_away{false};

void add_one(counter& value) {
    value.fetch_add(1, relaxed);
}

// A round trip in ms with three decimals, or the top of the histogram for one beyond it.
void put_trip(text_out& text, std::uint64_t trip_us) {
    if (trip_us == UINT64_MAX) {
        text << ">";
        trip_us = ROUND_TRIP_TOP_US;
    }
    text.thousandths(trip_us) << " ms";
}

// Counted from the buckets rather than taken from responses: a cycle interrupted between
// the two updates then still gives consistent figures.
std::uint64_t trips_counted(const link_counters& stats) {
    std::uint64_t trips = 0;
    for (const auto& bucket : stats.round_trips) {
        trips += bucket.load(relaxed);
    }
    return trips;
}

// Answered greetings in thousandths, truncated, so that 100.0% means every greeting was
// answered; scaled down first where the product would overflow.
std::uint64_t answered_permille(std::uint64_t greetings, std::uint64_t responses) {
    while (greetings > UINT64_MAX / 1000) {
        greetings /= 2;
        responses /= 2;
    }
    return responses * 1000 / greetings;
}

void put_permille(text_out& text, std::uint64_t permille) {
    text << permille / 10 << "." << permille % 10 << "%";
}

}  // namespace

std::size_t round_trip_bucket(std::uint64_t trip_us) {
    if (trip_us < ROUND_TRIP_EXACT_US) {
        return trip_us;
    }
    if (trip_us >= ROUND_TRIP_TOP_US) {
        return ROUND_TRIP_BUCKETS - 1;
    }
    // The top 7 bits of the trip: its doubling, then one of 64 steps within it.
    const int shift = static_cast<int>(std::bit_width(trip_us)) - 7;
    const std::uint64_t step = (trip_us >> shift) - ROUND_TRIP_STEPS;
    return ROUND_TRIP_EXACT_US + static_cast<std::size_t>(shift - 1) * ROUND_TRIP_STEPS + step;
}

std::uint64_t bucket_value_us(std::size_t bucket) {
    if (bucket < ROUND_TRIP_EXACT_US) {
        return bucket;
    }
    if (bucket >= ROUND_TRIP_BUCKETS - 1) {
        return UINT64_MAX;
    }
    const std::size_t beyond = bucket - ROUND_TRIP_EXACT_US;
    const auto shift = static_cast<int>(beyond / ROUND_TRIP_STEPS) + 1;
    const std::uint64_t low = (ROUND_TRIP_STEPS + beyond % ROUND_TRIP_STEPS) << shift;
    const std::uint64_t width = std::uint64_t{1} << shift;
    return low + (width - 1) / 2;
}

void count_cycle_start(link_counters& stats, bool port_away) {
    warnings_this_cycle.count = 0;
    open_cycle_away.store(port_away, relaxed);
    cycle_open.store(true, relaxed);
    add_one(stats.greetings);
    if (port_away) {
        add_one(stats.cycles_away);
    }
}

void count_cycle_end() {
    cycle_open.store(false, relaxed);
}

void uncount_open_cycle(link_counters& stats) {
    if (!cycle_open.exchange(false, relaxed)) {
        return;
    }
    stats.greetings.fetch_sub(1, relaxed);
    if (open_cycle_away.load(relaxed)) {
        stats.cycles_away.fetch_sub(1, relaxed);
    }
}

void count_response(link_counters& stats, std::int64_t round_trip_us) {
    // One writer: plain loads and stores are enough to keep the extremes.
    const auto trip = static_cast<std::uint64_t>(round_trip_us < 0 ? 0 : round_trip_us);
    if (trip < stats.round_trip_min_us.load(relaxed)) {
        stats.round_trip_min_us.store(trip, relaxed);
    }
    if (trip > stats.round_trip_max_us.load(relaxed)) {
        stats.round_trip_max_us.store(trip, relaxed);
    }
    stats.round_trips[round_trip_bucket(trip)].fetch_add(1, relaxed);
    add_one(stats.responses);
}

void count_no_response(link_counters& stats) {
    add_one(stats.no_response);
}

void count_cause(link_counters& stats, no_response_cause cause) {
    add_one(stats.causes[static_cast<std::size_t>(cause)]);
}

void count_warning(link_counters& stats, const warning_seen& warning) {
    if (warnings_this_cycle.count < CYCLE_WARNINGS_KEPT) {
        warnings_this_cycle.kept[warnings_this_cycle.count] = warning;
    }
    ++warnings_this_cycle.count;
    switch (warning.kind) {
        case link_warning::crc:
            add_one(stats.crc_errors);
            break;
        case link_warning::escape:
            add_one(stats.escape_errors);
            break;
        case link_warning::length:
            add_one(stats.length_errors);
            break;
    }
}

std::uint64_t round_trip_quantile_us(const link_counters& stats, std::uint64_t per_mille) {
    const std::uint64_t trips = trips_counted(stats);
    if (trips == 0) {
        return 0;
    }
    const std::uint64_t rank =
        trips > UINT64_MAX / 1000 ? trips / 1000 * per_mille : (trips * per_mille + 999) / 1000;
    std::uint64_t seen = 0;
    std::size_t bucket = 0;
    for (; bucket < stats.round_trips.size(); ++bucket) {
        seen += stats.round_trips[bucket].load(relaxed);
        if (seen >= rank && seen > 0) {
            break;
        }
    }
    const std::uint64_t value = bucket_value_us(bucket);
    if (value == UINT64_MAX) {
        return value;
    }
    // The middle of a bucket may lie outside what was seen; the extremes are exact.
    const std::uint64_t min = stats.round_trip_min_us.load(relaxed);
    const std::uint64_t max = stats.round_trip_max_us.load(relaxed);
    return value < min ? min : value > max ? max : value;
}

bool link_held(const link_counters& stats, std::uint64_t max_loss_millionths) {
    const std::uint64_t greetings = stats.greetings.load(relaxed);
    const std::uint64_t responses = stats.responses.load(relaxed);
    if (responses == 0 || responses > greetings) {
        return false;
    }
    // unanswered / greetings * 100 <= max_loss_millionths / 10^6, without division.
    return (greetings - responses) * 100'000'000 <= max_loss_millionths * greetings;
}

bool loss_decided(const link_counters& stats, std::uint64_t max_loss_millionths,
                  std::uint64_t greetings_at_most) {
    const std::uint64_t greetings = stats.greetings.load(relaxed);
    const std::uint64_t responses = stats.responses.load(relaxed);
    const std::uint64_t unanswered = greetings - (responses > greetings ? greetings : responses);
    return unanswered * 100'000'000 > max_loss_millionths * greetings_at_most;
}

void set_summary_verdict(const run_verdict& verdict) {
    summary_verdict = verdict;
    verdict_said = true;
}

void set_summary_pace(const run_pace& pace) {
    summary_pace = pace;
    pace_said = true;
}

std::size_t format_summary(const link_counters& stats, std::span<char> out) {
    text_out text{out};
    const std::uint64_t greetings = stats.greetings.load(relaxed);
    const std::uint64_t responses = stats.responses.load(relaxed);
    text << "--- tervalo summary ---\n"
         << "greetings " << greetings << ", responses " << responses;
    if (greetings > 0) {
        text << ", ";
        put_permille(text, answered_permille(greetings, responses));
        text << " answered";
    }
    text << "\nwarnings: no response " << stats.no_response.load(relaxed) << ", crc "
         << stats.crc_errors.load(relaxed) << ", escape " << stats.escape_errors.load(relaxed)
         << ", length " << stats.length_errors.load(relaxed) << "; port away "
         << stats.cycles_away.load(relaxed) << " cycles\nno response by cause:";
    for (std::size_t cause = 0; cause < NO_RESPONSE_CAUSES; ++cause) {
        text << (cause > 0 ? ", " : " ") << CAUSE_NAMES[cause] << " "
             << stats.causes[cause].load(relaxed);
    }
    text << "\n";

    if (trips_counted(stats) == 0) {
        text << "round trip: no responses\n";
    } else {
        text << "round trip: min ";
        put_trip(text, stats.round_trip_min_us.load(relaxed));
        text << ", median ";
        put_trip(text, round_trip_quantile_us(stats, 500));
        text << ", p99 ";
        put_trip(text, round_trip_quantile_us(stats, 990));
        text << ", max ";
        put_trip(text, stats.round_trip_max_us.load(relaxed));
        text << "\n";
    }
    if (pace_said) {
        text << "pace: interval ";
        text.thousandths(static_cast<std::uint64_t>(summary_pace.interval_ms)) << " s, timeout ";
        text.thousandths(static_cast<std::uint64_t>(summary_pace.timeout_ms))
            << " s, " << std::uint64_t{summary_pace.baud} << " baud\n";
    }
    if (verdict_said) {
        text << "verdict: " << (summary_verdict.passed ? "passed, " : "failed, ");
        if (greetings == 0) {
            text << "no greeting sent";
        } else {
            // The complement of the truncated share answered: rounded up, so that a share
            // just past the limit never reads as the limit.
            put_permille(text, 1000 - answered_permille(greetings, responses));
            text << " unanswered";
        }
        text << ", limit ";
        text.decimal(summary_verdict.max_loss_millionths, 6) << "%";
        if (summary_verdict.ended_early != nullptr) {
            text << "; " << summary_verdict.ended_early;
        }
        text << "\n";
    }
    return text.size;
}
