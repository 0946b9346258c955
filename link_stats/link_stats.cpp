#include "link_stats/link_stats.h"

#include <string_view>

LinkStats link_stats;

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

void add_one(counter& value) {
    value.fetch_add(1, relaxed);
}

// Appends to a fixed buffer, dropping what does not fit. Numbers are formatted here
// rather than by the C library, which a signal handler must not call.
struct text_out {
    std::span<char> buffer;
    std::size_t size = 0;

    text_out& operator<<(std::string_view text) {
        for (const char c : text) {
            if (size < buffer.size()) {
                buffer[size++] = c;
            }
        }
        return *this;
    }

    text_out& operator<<(std::uint64_t number) {
        std::array<char, 20> digits{};
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (count > 0) {
            *this << std::string_view(&digits[--count], 1);
        }
        return *this;
    }
};

// The lower median: the ceil(n/2)-th smallest trip, taken from the buckets. Returns
// ROUND_TRIP_LIMIT_MS + 1 when it lies in the overflow bucket.
std::uint64_t median_bucket(const LinkStats& stats, std::uint64_t trips) {
    const std::uint64_t rank = (trips + 1) / 2;
    std::uint64_t seen = 0;
    for (std::size_t ms = 0; ms < stats.round_trips.size(); ++ms) {
        seen += stats.round_trips[ms].load(relaxed);
        if (seen >= rank) {
            return ms;
        }
    }
    return ROUND_TRIP_LIMIT_MS + 1;
}

}  // namespace

void count_cycle_start(LinkStats& stats, bool port_away) {
    add_one(stats.greetings);
    if (port_away) {
        add_one(stats.cycles_away);
    }
}

void count_response(LinkStats& stats, std::int64_t round_trip_ms) {
    // One writer: plain loads and stores are enough to keep the extremes.
    const auto trip = static_cast<std::uint64_t>(round_trip_ms < 0 ? 0 : round_trip_ms);
    if (trip < stats.round_trip_min.load(relaxed)) {
        stats.round_trip_min.store(trip, relaxed);
    }
    if (trip > stats.round_trip_max.load(relaxed)) {
        stats.round_trip_max.store(trip, relaxed);
    }
    const std::size_t bucket = trip > ROUND_TRIP_LIMIT_MS ? ROUND_TRIP_LIMIT_MS + 1 : trip;
    stats.round_trips[bucket].fetch_add(1, relaxed);
    add_one(stats.responses);
}

void count_no_response(LinkStats& stats) {
    add_one(stats.no_response);
}

void count_warning(LinkStats& stats, link_warning warning) {
    switch (warning) {
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

std::size_t format_summary(const LinkStats& stats, std::span<char> out) {
    text_out text{out};
    const std::uint64_t greetings = stats.greetings.load(relaxed);
    const std::uint64_t responses = stats.responses.load(relaxed);
    text << "--- tervalo summary ---\n"
         << "greetings " << greetings << ", responses " << responses;
    if (greetings > 0) {
        // Scaled down first where the product would overflow; truncated, so that 100.0%
        // means every greeting was answered.
        std::uint64_t asked = greetings;
        std::uint64_t answered = responses;
        while (asked > UINT64_MAX / 1000) {
            asked /= 2;
            answered /= 2;
        }
        const std::uint64_t permille = answered * 1000 / asked;
        text << ", " << permille / 10 << "." << permille % 10 << "% answered";
    }
    text << "\nwarnings: no response " << stats.no_response.load(relaxed) << ", crc "
         << stats.crc_errors.load(relaxed) << ", escape " << stats.escape_errors.load(relaxed)
         << ", length " << stats.length_errors.load(relaxed) << "; port away "
         << stats.cycles_away.load(relaxed) << " cycles\n";

    // Counted from the buckets rather than taken from responses: a cycle interrupted
    // between the two updates then still gives a consistent median.
    std::uint64_t trips = 0;
    for (const auto& bucket : stats.round_trips) {
        trips += bucket.load(relaxed);
    }
    if (trips == 0) {
        text << "round trip: no responses\n";
        return text.size;
    }
    text << "round trip: min " << stats.round_trip_min.load(relaxed) << " ms, median ";
    const std::uint64_t median = median_bucket(stats, trips);
    if (median > ROUND_TRIP_LIMIT_MS) {
        text << ">" << std::uint64_t{ROUND_TRIP_LIMIT_MS};
    } else {
        text << median;
    }
    text << " ms, max " << stats.round_trip_max.load(relaxed) << " ms\n";
    return text.size;
}
