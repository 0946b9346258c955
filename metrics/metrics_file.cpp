#include "metrics/metrics_file.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "link_stats/link_stats.h"
#include "metrics/file_replace.h"
#include "metrics/metrics_text.h"
#include "serial/port_messages.h"

namespace {

// The temporary name ends in this, never in ".prom": the textfile collector reads only
// *.prom, so it never serves a file being written.
constexpr std::string_view TEMP_SUFFIX = ".tmp";
constexpr std::size_t PATH_MAX_SIZE = 4096;

// Process-wide, static: the text alone is 64 KiB, and all of it lives as long as the
// process.
struct metrics_state {
    bool started = false;
    bool failure_told = false;
    std::array<char, PATH_MAX_SIZE> path{};
    std::array<char, PATH_MAX_SIZE + TEMP_SUFFIX.size()> temp_path{};
    std::array<char, PORT_LABEL_MAX> label{};
    std::size_t label_size = 0;
    metrics_values values;
    std::array<char, METRICS_TEXT_MAX> text{};
};

metrics_state metrics;

using error_text = std::array<char, 256>;

// The start refused: the run does not begin.
void tell_cannot_write(const char* file, const char* reason) {
    std::fprintf(stderr, "tervalo: --metrics %s: cannot write it (%s)\n", file, reason);
    std::fflush(stderr);
}

void tell_cannot_write(const char* file, int system_error) {
    error_text reason{};
    system_error_text(system_error, reason);
    tell_cannot_write(file, reason.data());
}

// A write failed during the run.
void tell_write_failed(int system_error) {
    error_text reason{};
    system_error_text(system_error, reason);
    std::fprintf(stderr,
                 "tervalo: --metrics %s: write failed (%s); the link goes on, and each cycle "
                 "tries again\n",
                 metrics.path.data(), reason.data());
    std::fflush(stderr);
}

// Rewrites the file; returns the system's error code, or 0.
int rewrite() {
    const auto relaxed = std::memory_order_relaxed;
    metrics_values& values = metrics.values;
    values.greetings = link_stats.greetings.load(relaxed);
    values.responses = link_stats.responses.load(relaxed);
    values.no_response = link_stats.no_response.load(relaxed);
    values.crc_warnings = link_stats.crc_errors.load(relaxed);
    values.escape_warnings = link_stats.escape_errors.load(relaxed);
    values.length_warnings = link_stats.length_errors.load(relaxed);
    for (std::size_t cause = 0; cause < NO_RESPONSE_CAUSES; ++cause) {
        values.causes[cause] = link_stats.causes[cause].load(relaxed);
    }
    const std::size_t size = format_metrics(
        values, std::string_view(metrics.label.data(), metrics.label_size), metrics.text);
    return replace_file(metrics.path.data(), metrics.temp_path.data(),
                        std::span<const char>(metrics.text.data(), size));
}

// Later failures are told once: the link matters more than its figures, and a full disk
// must not flood standard error once a second.
void rewrite_or_tell() {
    if (!metrics.started) {
        return;
    }
    const int error = rewrite();
    if (error != 0 && !metrics.failure_told) {
        tell_write_failed(error);
        metrics.failure_told = true;
    }
}

}  // namespace

bool start_metrics(const char* file, const char* port_name) {
    const std::size_t length = std::strlen(file);
    if (length >= metrics.path.size()) {
        tell_cannot_write(file, "its name is too long");
        return false;
    }
    std::memcpy(metrics.path.data(), file, length + 1);
    std::memcpy(metrics.temp_path.data(), file, length);
    std::memcpy(metrics.temp_path.data() + length, TEMP_SUFFIX.data(), TEMP_SUFFIX.size());
    const auto label = escape_label_value(port_name, metrics.label);
    if (!label) {
        tell_cannot_write(file, "the port name is too long for its label");
        return false;
    }
    metrics.label_size = *label;
    if (const int error = rewrite(); error != 0) {
        tell_cannot_write(file, error);
        return false;
    }
    metrics.started = true;
    return true;
}

void metrics_cycle(const cycle_record& record) {
    if (!metrics.started) {
        return;
    }
    if (record.result == cycle_result::response) {
        const auto non_negative = [](std::int64_t value) {
            return static_cast<std::uint64_t>(value < 0 ? 0 : value);
        };
        add_round_trip(metrics.values.round_trips, non_negative(record.round_trip_us));
        metrics.values.last_response_unix_us = non_negative(record.ended.unix_us);
    }
    rewrite_or_tell();
}

void metrics_port_up() {
    metrics.values.port_up = true;
    rewrite_or_tell();
}

void metrics_port_lost() {
    metrics.values.port_up = false;
    ++metrics.values.port_lost;
    rewrite_or_tell();
}
