#include "metrics/metrics_file.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

#include "console/outside_text.h"
#include "link_stats/link_stats.h"
#include "metrics/file_replace.h"
#include "metrics/metrics_text.h"
#include "serial/port_messages.h"
#include "timing/clock.h"
#include "timing/local_time.h"

namespace {

// Times before 1970 and round trips of a clock set back are taken as 0.
std::uint64_t non_negative(std::int64_t value) {
    return static_cast<std::uint64_t>(value < 0 ? 0 : value);
}

// Each rewrite writes a new file beside FILE, named ".FILE.tervalo-<pid>-<16 hex
// digits>" (hidden, and never ending in ".prom": the textfile collector reads only *.prom,
// so it never serves a file being written), then renames it over FILE. Nobody can
// foresee the name to plant a link or a FIFO there, and it is created exclusively
// anyway. A run killed between the two steps leaves its file behind; the next start
// removes those whose process is gone.
constexpr std::string_view TEMP_MARK = ".tervalo-";
// The pid in decimal, a dash and the random part.
constexpr std::size_t TEMP_TAIL_MAX = 20 + 1 + 16;
constexpr std::size_t PATH_MAX_SIZE = 4096;

// Process-wide, static: the text alone is 64 KiB, and all of it lives as long as the
// process.
struct metrics_state {
    bool started = false;
    bool ended = false;    // metrics_end has written the run's last state
    bool failing = false;  // the last rewrite failed, and that was said
    int last_error = 0;    // of the last rewrite, 0 when it was written
    std::array<char, PATH_MAX_SIZE> path{};
    // The temporary name's folder and fixed start, then its tail for the rewrite at hand.
    std::array<char, PATH_MAX_SIZE + TEMP_MARK.size() + 2 + TEMP_TAIL_MAX> temp_path{};
    std::size_t temp_start_size = 0;
    std::array<char, LABELS_MAX> labels{};
    std::size_t labels_size = 0;
    metrics_values values;
    std::array<char, METRICS_TEXT_MAX> text{};
    // When a greeting last had the file rewritten; the first always does. metrics_end
    // writes what later greetings counted.
    std::int64_t greeting_written_ms = INT64_MIN / 2;
};

metrics_state metrics;

using error_text = std::array<char, 256>;

// The start refused: the run does not begin.
void tell_cannot_write(const char* file, const char* reason) {
    print_error("tervalo: --metrics %s: cannot write it (%s)\n", file, reason);
}

void tell_cannot_write(const char* file, int system_error) {
    error_text reason{};
    system_error_text(system_error, reason);
    tell_cannot_write(file, reason.data());
}

// Puts "<pid>-<16 hex digits>" after the temporary name's fixed start, by hand: a stop's
// rewrite runs in the signal handler.
void name_temp_file() {
    constexpr std::string_view HEX = "0123456789abcdef";
    char* at = metrics.temp_path.data() + metrics.temp_start_size;
    std::array<char, 20> digits{};
    std::size_t count = 0;
    for (std::uint64_t pid = this_process_id(); pid > 0 || count == 0; pid /= 10) {
        digits[count++] = static_cast<char>('0' + pid % 10);
    }
    while (count > 0) {
        *at++ = digits[--count];
    }
    *at++ = '-';
    const std::uint64_t bits = unpredictable_bits();
    for (int shift = 60; shift >= 0; shift -= 4) {
        *at++ = HEX[(bits >> shift) & 0xF];
    }
    *at = '\0';
}

// The pid in a temporary name's tail ("<pid>-..."), or 0 when the tail is not of that form.
std::uint64_t owner_of_temp(std::string_view tail) {
    std::uint64_t pid = 0;
    std::size_t digits = 0;
    for (; digits < tail.size() && digits < 20 && tail[digits] >= '0' && tail[digits] <= '9';
         ++digits) {
        pid = pid * 10 + static_cast<std::uint64_t>(tail[digits] - '0');
    }
    return digits > 0 && digits < tail.size() && tail[digits] == '-' ? pid : 0;
}

// The user's path as a path: its bytes are UTF-8 on every system (on Windows the
// standard library would otherwise read them in a code page of its own), and back.
std::filesystem::path path_of(const char* utf8) {
    return std::filesystem::path(std::u8string_view(reinterpret_cast<const char8_t*>(utf8)));
}

std::string text_of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return {reinterpret_cast<const char*>(text.data()), text.size()};
}

// Removes the temporary files of runs on the same file that were killed mid-rewrite.
// Removing takes the name only: nothing is opened or followed.
void remove_stale_temps(const std::filesystem::path& folder, std::string_view start) {
    namespace fs = std::filesystem;
    std::error_code error;
    for (fs::directory_iterator entry(folder.empty() ? fs::path(".") : folder, error), end;
         !error && entry != end; entry.increment(error)) {
        const std::string name = text_of(entry->path().filename());
        const std::uint64_t owner = name.starts_with(start) && name.size() > start.size()
                                        ? owner_of_temp(std::string_view(name).substr(start.size()))
                                        : 0;
        if (owner != 0 && process_gone(owner)) {
            std::error_code ignored;
            fs::remove(entry->path(), ignored);
        }
    }
}

// The fixed start of the temporary files' names for target: ".<name>.tervalo-".
std::string temp_start_of(const std::filesystem::path& target) {
    // Appended to, never "." + a temporary: GCC 12 at -O3 takes that for an overlapping
    // copy (-Wrestrict, a known false alarm).
    std::string start(".");
    return start.append(text_of(target.filename())).append(TEMP_MARK);
}

// Rewrites the file; returns the system's error code, or 0.
int rewrite() {
    const auto relaxed = std::memory_order_relaxed;
    metrics_values& values = metrics.values;
    values.greetings = link_stats.greetings.load(relaxed);
    values.responses = link_stats.responses.load(relaxed);
    values.no_response = link_stats.no_response.load(relaxed);
    values.cycles_away = link_stats.cycles_away.load(relaxed);
    values.crc_warnings = link_stats.crc_errors.load(relaxed);
    values.escape_warnings = link_stats.escape_errors.load(relaxed);
    values.length_warnings = link_stats.length_errors.load(relaxed);
    values.updated_unix_us = non_negative(local_now_in_last_zone().unix_us);
    for (std::size_t cause = 0; cause < NO_RESPONSE_CAUSES; ++cause) {
        values.causes[cause] = link_stats.causes[cause].load(relaxed);
    }
    const std::size_t size = format_metrics(
        values, std::string_view(metrics.labels.data(), metrics.labels_size), metrics.text);
    name_temp_file();
    metrics.last_error = replace_file(metrics.path.data(), metrics.temp_path.data(),
                                      std::span<const char>(metrics.text.data(), size));
    return metrics.last_error;
}

// A failure is told once for each stretch of failures, and the recovery once: the link
// matters more than its figures, and a full disk must not flood standard error once a
// second, yet a reader of the log must know which stretch of the file's history is
// missing.
void tell_rewritten(int error) {
    if (error != 0 && !metrics.failing) {
        error_text reason{};
        system_error_text(error, reason);
        print_error(
            "tervalo: --metrics %s: write failed (%s); the link goes on, and each "
            "cycle tries again\n",
            metrics.path.data(), reason.data());
    } else if (error == 0 && metrics.failing) {
        print_error("tervalo: --metrics %s: written again\n", metrics.path.data());
    }
    metrics.failing = error != 0;
}

// After metrics_end nothing may follow the run's last state.
void rewrite_or_tell() {
    if (metrics.started && !metrics.ended) {
        tell_rewritten(rewrite());
    }
}

// Where the file is written: a regular file, or a name that does not exist yet. A link
// to a regular file leads to it, so the link stays a link. Returns nullptr, or why the
// path is refused; *target is the path to write then.
const char* file_to_write(const char* file, std::filesystem::path* target) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path named_path = path_of(file);
    const fs::file_status named = fs::symlink_status(named_path, error);
    if (!fs::exists(named)) {
        *target = named_path;
        return nullptr;
    }
    const fs::file_status led_to = fs::status(named_path, error);
    if (!fs::is_regular_file(led_to)) {
        return fs::is_symlink(named) ? "a link to something other than a regular file"
                                     : "not a regular file";
    }
    *target = fs::is_symlink(named) ? fs::canonical(named_path, error) : named_path;
    return error ? "a link that cannot be followed" : nullptr;
}

}  // namespace

bool metrics_writer_makes(const char* path, const char* file) {
    namespace fs = std::filesystem;
    fs::path target;
    if (file_to_write(file, &target) != nullptr) {
        return false;
    }
    const std::string start = temp_start_of(target);
    const auto folder_of = [](const fs::path& named) {
        return named.parent_path().empty() ? fs::path(".") : named.parent_path();
    };
    const auto taken = [&](const fs::path& named) {
        std::error_code error;
        return text_of(named.filename()).starts_with(start) &&
               fs::equivalent(folder_of(named), folder_of(target), error);
    };
    // A link named otherwise leads there just the same.
    std::error_code error;
    const fs::path named = path_of(path);
    const fs::path led_to = fs::canonical(named, error);
    return taken(named) || (!error && taken(led_to));
}

bool start_metrics(const char* file, const char* port_name, const run_pace& pace,
                   std::span<const char* const> lab_labels) {
    std::filesystem::path target;
    if (const char* refusal = file_to_write(file, &target); refusal != nullptr) {
        tell_cannot_write(file, refusal);
        return false;
    }
    // The file label: the full path, unique to the file on this machine.
    std::error_code error;
    const std::string full =
        text_of(std::filesystem::weakly_canonical(std::filesystem::absolute(target, error), error));
    const std::string written = text_of(target);
    if (written.size() >= metrics.path.size()) {
        tell_cannot_write(file, "its name is too long");
        return false;
    }
    std::memcpy(metrics.path.data(), written.c_str(), written.size() + 1);
    const std::string start = temp_start_of(target);
    const std::string temp_start = text_of(target.parent_path() / path_of(start.c_str()));
    if (temp_start.size() + TEMP_TAIL_MAX >= metrics.temp_path.size()) {
        tell_cannot_write(file, "its name is too long");
        return false;
    }
    std::memcpy(metrics.temp_path.data(), temp_start.data(), temp_start.size());
    metrics.temp_start_size = temp_start.size();
    remove_stale_temps(target.parent_path(), start);

    std::array<label_pair, 2 + LAB_LABELS_MAX> labels{};
    labels[0] = {"port", port_name};
    labels[1] = {"file", full.empty() ? written : full};
    std::size_t count = 2;
    for (const char* lab : lab_labels) {
        const std::string_view pair(lab);
        const std::size_t equals = pair.find('=');
        if (count < labels.size() && equals != std::string_view::npos) {
            labels[count++] = {pair.substr(0, equals), pair.substr(equals + 1)};
        }
    }
    const auto size =
        format_labels(std::span<const label_pair>(labels.data(), count), metrics.labels);
    if (!size) {
        tell_cannot_write(file, "the port's name, the file's path and the labels are too long");
        return false;
    }
    metrics.labels_size = *size;
    metrics.values.interval_ms = static_cast<std::uint64_t>(pace.interval_ms);
    metrics.values.timeout_ms = static_cast<std::uint64_t>(pace.timeout_ms);
    metrics.values.baud = pace.baud;
    metrics.values.version = TERVALO_VERSION;
    metrics.values.started_unix_us = non_negative(local_now().unix_us);
    metrics.values.port_changed_unix_us = metrics.values.started_unix_us;
    // A folder that does not take the file refuses the run; a reader holding the file
    // (a collector reading it as the run starts) only delays the first rewrite, which is
    // then tried again as a later one would be.
    if (const int failed = rewrite(); failed != 0 && !last_replace_held_off()) {
        tell_cannot_write(file, failed);
        return false;
    }
    metrics.started = true;
    tell_rewritten(metrics.last_error);
    return true;
}

void metrics_cycle(const cycle_record& record) {
    if (!metrics.started) {
        return;
    }
    if (record.result == cycle_result::response) {
        add_round_trip(metrics.values.round_trips, non_negative(record.round_trip_us));
        metrics.values.last_response_unix_us = non_negative(record.ended.unix_us);
    }
    // Back to back, a rewrite after every greeting would cost far more than the greeting.
    if (const std::int64_t now = now_ms();
        now - metrics.greeting_written_ms >= METRICS_REWRITE_MS) {
        metrics.greeting_written_ms = now;
        rewrite_or_tell();
    }
}

namespace {

void port_changed(bool up) {
    metrics.values.port_up = up;
    metrics.values.port_changed_unix_us = non_negative(local_now().unix_us);
}

}  // namespace

void metrics_port_up() {
    port_changed(true);
    rewrite_or_tell();
}

void metrics_port_lost() {
    port_changed(false);
    ++metrics.values.port_lost;
    rewrite_or_tell();
}

void metrics_end() {
    if (!metrics.started || metrics.ended) {
        return;
    }
    metrics.ended = true;
    // The port closes with the process, but did not go away: its time stays, and the
    // file says the run is over.
    metrics.values.port_up = false;
    metrics.values.running = false;
    rewrite();
}

bool metrics_kept() {
    if (!metrics.started || metrics.last_error == 0) {
        return true;
    }
    error_text reason{};
    system_error_text(metrics.last_error, reason);
    print_error("tervalo: --metrics %s: its last update could not be written (%s)\n",
                metrics.path.data(), reason.data());
    return false;
}
