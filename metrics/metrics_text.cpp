#include "metrics/metrics_text.h"

#include <charconv>

#include "console/outside_text.h"

namespace {

// Appends to a fixed buffer; once something did not fit, the text is marked unusable
// rather than cut, since a cut exposition would be served as if whole.
struct text_out {
    std::span<char> buffer;
    std::size_t size = 0;
    bool overflow = false;

    text_out& operator<<(std::string_view text) {
        if (text.size() > buffer.size() - size) {
            overflow = true;
            return *this;
        }
        text.copy(buffer.data() + size, text.size());
        size += text.size();
        return *this;
    }

    text_out& operator<<(char c) { return *this << std::string_view(&c, 1); }

    text_out& operator<<(std::uint64_t number) {
        std::array<char, 20> digits{};
        const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), number).ptr;
        return *this << std::string_view(digits.data(),
                                         static_cast<std::size_t>(end - digits.data()));
    }
};

// Microseconds as seconds in decimal, without trailing zeros: 1500 as 0.0015, 2000000
// as 2. Exact, where a double would print 0.0015000000000000000312.
struct seconds {
    std::uint64_t us;
};

text_out& operator<<(text_out& text, seconds value) {
    text << value.us / 1'000'000;
    std::uint64_t fraction = value.us % 1'000'000;
    if (fraction == 0) {
        return text;
    }
    std::array<char, 7> digits{'.'};
    std::size_t count = 7;
    for (std::size_t i = 6; i >= 1; --i) {
        digits[i] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    while (digits[count - 1] == '0') {
        --count;
    }
    return text << std::string_view(digits.data(), count);
}

// One family's # HELP and # TYPE lines.
void family(text_out& text, std::string_view name, std::string_view type, std::string_view help) {
    text << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

void add_round_trip(round_trip_histogram& histogram, std::uint64_t round_trip_us) {
    std::size_t bucket = 0;
    while (bucket < ROUND_TRIP_BOUNDS_US.size() && round_trip_us > ROUND_TRIP_BOUNDS_US[bucket]) {
        ++bucket;
    }
    ++histogram.counts[bucket];
    histogram.sum_us += round_trip_us;
}

const char* lab_label_problem(std::string_view name) {
    const auto letter = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    };
    if (name.empty() || !letter(name[0])) {
        return "a label name starts with a letter or '_'";
    }
    for (const char c : name) {
        if (!letter(c) && (c < '0' || c > '9')) {
            return "a label name holds only letters, digits and '_'";
        }
    }
    if (name.starts_with("__")) {
        return "names that start with \"__\" are Prometheus' own";
    }
    for (const std::string_view own : TOOL_LABELS) {
        if (name == own) {
            return "the tool sets that label itself";
        }
    }
    return nullptr;
}

namespace {

void put_label_value(text_out& text, std::string_view value) {
    while (!value.empty()) {
        const std::size_t size = utf8_sequence(value);
        if (size == 0) {
            // The exposition escapes the backslash itself.
            const std::array<char, 3> escape = hex_escape(static_cast<unsigned char>(value[0]));
            text << "\\\\" << std::string_view(escape.data(), escape.size());
            value.remove_prefix(1);
            continue;
        }
        const char c = value[0];
        if (c == '\\' || c == '"') {
            text << '\\' << c;
        } else if (c == '\n') {
            text << "\\n";
        } else {
            text << value.substr(0, size);
        }
        value.remove_prefix(size);
    }
}

}  // namespace

std::optional<std::size_t> format_labels(std::span<const label_pair> labels, std::span<char> out) {
    text_out text{out};
    for (const label_pair& label : labels) {
        text << (text.size > 0 ? "," : "") << label.name << "=\"";
        put_label_value(text, label.value);
        text << '"';
    }
    if (text.overflow) {
        return std::nullopt;
    }
    return text.size;
}

std::size_t format_metrics(const metrics_values& values, std::string_view labels,
                           std::span<char> out) {
    text_out text{out};
    // Every sample's labels start with the run's; kind and le follow them.
    const auto sample = [&](std::string_view name) -> text_out& {
        return text << name << '{' << labels;
    };
    const auto counter = [&](std::string_view name, std::string_view help, std::uint64_t value) {
        family(text, name, "counter", help);
        sample(name) << "} " << value << '\n';
    };

    counter("tervalo_greetings_total",
            "Greetings sent, or due while the port was away: responses, no response and cycles "
            "away.",
            values.greetings);
    counter("tervalo_responses_total", "Greetings answered by a well-formed response.",
            values.responses);
    counter("tervalo_no_response_total",
            "Greetings left without a response while the port was open; the causes add up to it.",
            values.no_response);
    counter("tervalo_port_away_total",
            "Greetings due while the port was away: none was sent, none counts as no response.",
            values.cycles_away);

    family(text, "tervalo_warnings_total", "counter",
           "Malformed frames the reader warned of, by kind: check byte, escape, length.");
    const struct {
        std::string_view kind;
        std::uint64_t count;
    } warnings[] = {{"crc", values.crc_warnings},
                    {"escape", values.escape_warnings},
                    {"length", values.length_warnings}};
    for (const auto& warning : warnings) {
        sample("tervalo_warnings_total")
            << ",kind=\"" << warning.kind << "\"} " << warning.count << '\n';
    }

    family(text, "tervalo_no_response_causes_total", "counter",
           "Greetings left without a response while the port was open, by what the reader saw.");
    for (std::size_t cause = 0; cause < NO_RESPONSE_CAUSES; ++cause) {
        sample("tervalo_no_response_causes_total")
            << ",cause=\"" << CAUSE_NAMES[cause] << "\"} " << values.causes[cause] << '\n';
    }

    counter("tervalo_port_lost_total", "Times the port's device went away while in use.",
            values.port_lost);

    const auto gauge = [&](std::string_view name, std::string_view help, const auto& value) {
        family(text, name, "gauge", help);
        sample(name) << "} " << value << '\n';
    };
    gauge("tervalo_port_up", "1 while the port is open, 0 while it is away.",
          std::uint64_t{values.port_up ? 1U : 0U});
    gauge("tervalo_port_changed_timestamp_seconds",
          "Unix time the port last opened or went away; the start while it has not opened.",
          seconds{values.port_changed_unix_us});
    gauge("tervalo_running",
          "1 while the tool runs, 0 once its run is over or it was stopped: a file left at 1 "
          "and no longer written belongs to a tool that died.",
          std::uint64_t{values.running ? 1U : 0U});
    gauge("tervalo_start_time_seconds", "Unix time the tool started.",
          seconds{values.started_unix_us});
    family(text, "tervalo_build_info", "gauge", "Always 1; the tool's version as a label.");
    sample("tervalo_build_info") << ",version=\"" << values.version << "\"} 1\n";
    gauge("tervalo_last_response_timestamp_seconds",
          "Unix time of the last response; 0 before the first.",
          seconds{values.last_response_unix_us});
    gauge("tervalo_updated_timestamp_seconds",
          "Unix time this file was last written; one that stops moving is a stopped or hung "
          "tool.",
          seconds{values.updated_unix_us});

    gauge("tervalo_interval_seconds", "The pause after each cycle.",
          seconds{values.interval_ms * 1000});
    gauge("tervalo_timeout_seconds", "How long each greeting waits for its response.",
          seconds{values.timeout_ms * 1000});
    family(text, "tervalo_baud", "gauge", "The line speed asked for, in baud.");
    sample("tervalo_baud") << "} " << values.baud << '\n';

    family(text, "tervalo_round_trip_seconds", "histogram",
           "Time from sending a greeting to reading its response.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < ROUND_TRIP_BOUNDS_US.size(); ++i) {
        cumulative += values.round_trips.counts[i];
        sample("tervalo_round_trip_seconds_bucket")
            << ",le=\"" << seconds{ROUND_TRIP_BOUNDS_US[i]} << "\"} " << cumulative << '\n';
    }
    cumulative += values.round_trips.counts.back();
    sample("tervalo_round_trip_seconds_bucket") << ",le=\"+Inf\"} " << cumulative << '\n';
    sample("tervalo_round_trip_seconds_sum") << "} " << seconds{values.round_trips.sum_us} << '\n';
    sample("tervalo_round_trip_seconds_count") << "} " << cumulative << '\n';
    return text.overflow ? 0 : text.size;
}
