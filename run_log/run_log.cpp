#include "run_log/run_log.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "console/outside_text.h"
#include "link/link_protocol.h"
#include "link_stats/text_out.h"
#include "run_log/log_file.h"
#include "serial/port_messages.h"
#include "timing/local_time.h"

namespace {

// The longest line: a payload of which every byte takes six characters, and room for
// the rest of the line (the warnings kept, the names and paths of the start event).
constexpr std::size_t LOG_LINE_MAX = 6 * PAYLOAD_MAX + 8192;
// Room for the counts and a reason of the open's failure, every byte at its widest.
constexpr std::size_t SUMMARY_LINE_MAX = 6 * MESSAGE_SIZE + 1024;

bool log_open = false;
std::atomic<bool> log_broken{false};  // read by a stop handler
const char* log_path = "";
// "run":"<id>", formed once: a stop's handler writes it too.
std::array<char, 64> run_field{};
std::size_t run_field_size = 0;
// Static: far too large for a stack, and needed for the whole run.
std::array<char, LOG_LINE_MAX> line;
// The start line's limit, which the summary line repeats beside a verdict; whether the
// run is bounded, and so judged.
std::uint64_t limit_millionths = 0;
bool judged = false;
// The summary's own, as a signal handler may write it while a cycle line is formed.
std::array<char, SUMMARY_LINE_MAX> summary_line;
std::atomic_flag summary_written = ATOMIC_FLAG_INIT;

constexpr std::string_view HEX = "0123456789abcdef";

void put_string(text_out& text, std::span<const std::uint8_t> bytes) {
    text << "\"";
    for (const std::uint8_t byte : bytes) {
        const char c = static_cast<char>(byte);
        switch (c) {
            case '"':
                text << "\\\"";
                break;
            case '\\':
                text << "\\\\";
                break;
            case '\n':
                text << "\\n";
                break;
            case '\r':
                text << "\\r";
                break;
            case '\t':
                text << "\\t";
                break;
            default:
                if (byte < 0x20 || byte > 0x7e) {
                    text << "\\u00" << HEX.substr(byte >> 4, 1) << HEX.substr(byte & 0xF, 1);
                } else {
                    text << std::string_view(&c, 1);
                }
        }
    }
    text << "\"";
}

void put_string(text_out& text, const char* value) {
    put_string(text, std::span(reinterpret_cast<const std::uint8_t*>(value), std::strlen(value)));
}

// Every line's start: {"t":"<time>","run":"<id>",
void put_time(text_out& text, const local_time& when) {
    iso8601_text stamp{};
    const std::size_t size = format_iso8601(when, stamp);
    text << "{\"t\":\"" << std::string_view(stamp.data(), size) << "\","
         << std::string_view(run_field.data(), run_field_size);
}

void tell_write_failed(int error) {
    std::array<char, 256> reason{};
    system_error_text(error, reason);
    print_error("tervalo: --log %s: write failed (%s); no more lines go to it\n", log_path,
                reason.data());
}

// Writes the first size bytes of bytes as one line, whole or not at all. A failure is
// reported here unless from_signal, and ends the log: a record with a line missing in
// its middle would pass for whole.
void write_line(const char* bytes, std::size_t size, bool from_signal) {
    int error = 0;
    if (from_signal ? log_file_write_now(bytes, size, LOG_STOP_WAIT_MS)
                    : log_file_write(bytes, size, &error)) {
        return;
    }
    log_broken = true;
    if (!from_signal) {
        tell_write_failed(error);
    }
}

bool log_writable() {
    return log_open && !log_broken;
}

// Ends the line formed in line and writes it.
void finish_line(text_out& text) {
    text << "}\n";
    // Never cut: LOG_LINE_MAX holds the longest line. Nothing follows the summary, which
    // a stop may have written from another thread while this line was formed.
    if (!text.full() && !summary_written.test()) {
        write_line(line.data(), text.size, false);
    }
}

void put_warning(text_out& text, const warning_seen& warning) {
    switch (warning.kind) {
        case link_warning::crc:
            text << "{\"kind\":\"crc\",\"computed\":" << std::uint64_t{warning.first}
                 << ",\"received\":" << std::uint64_t{warning.second} << "}";
            return;
        case link_warning::escape:
            text << "{\"kind\":\"escape\",\"byte\":" << std::uint64_t{warning.first} << "}";
            return;
        case link_warning::length:
            text << "{\"kind\":\"length\",\"length\":" << std::uint64_t{warning.first} << "}";
            return;
    }
}

const char* result_name(cycle_result result) {
    switch (result) {
        case cycle_result::response:
            return "response";
        case cycle_result::no_response:
            return "no_response";
        case cycle_result::port_away:
            return "port_away";
    }
    return "";
}

}  // namespace

std::size_t json_string(std::span<const std::uint8_t> bytes, std::span<char> out) {
    text_out text{out};
    put_string(text, bytes);
    return text.size;
}

bool open_run_log(const char* path) {
    int error = 0;
    const log_refusal refusal = log_file_open(path, &error);
    if (refusal != log_refusal::none) {
        std::array<char, 256> reason{};
        if (refusal == log_refusal::not_file_or_pipe) {
            std::snprintf(reason.data(), reason.size(), "not a regular file or a pipe");
        } else if (refusal == log_refusal::no_reader) {
            std::snprintf(reason.data(), reason.size(), "no process reads the FIFO");
        } else {
            system_error_text(error, reason);
        }
        print_error("tervalo: --log %s: cannot open it for appending (%s)\n", path, reason.data());
        return false;
    }
    log_open = true;
    log_path = path;
    text_out run{run_field};
    run << "\"run\":\"" << static_cast<std::uint64_t>(local_now().unix_us / 1000) << "-"
        << log_process_id() << "\",";
    run_field_size = run.size;
    if (!log_file_end_line(&error)) {
        log_broken = true;
        tell_write_failed(error);
    }
    return true;
}

bool run_log_is(const char* path) {
    return log_open && log_file_is(path);
}

void log_start(const run_log_start& run, const char* device_path) {
    limit_millionths = run.max_loss_millionths;
    judged = run.count > 0 || run.deadline_ms > 0;
    if (!log_writable()) {
        return;
    }
    text_out text{line};
    put_time(text, local_now());
    text << "\"event\":\"start\",\"port\":";
    put_string(text, run.port);
    text << ",\"path\":";
    if (device_path != nullptr) {
        put_string(text, device_path);
    } else {
        text << "null";
    }
    text << ",\"version\":\"" TERVALO_VERSION "\",\"options\":{\"count\":";
    if (run.count > 0) {
        text << run.count;
    } else {
        text << "null";
    }
    text << ",\"deadline_s\":";
    if (run.deadline_ms > 0) {
        text.decimal(static_cast<std::uint64_t>(run.deadline_ms), 3);
    } else {
        text << "null";
    }
    text << ",\"max_loss\":";
    text.decimal(run.max_loss_millionths, 6);
    text << ",\"interval_s\":";
    text.decimal(static_cast<std::uint64_t>(run.interval_ms), 3);
    text << ",\"timeout_s\":";
    text.decimal(static_cast<std::uint64_t>(run.timeout_ms), 3);
    text << ",\"baud\":" << std::uint64_t{run.baud};
    text << ",\"quiet\":" << (run.quiet ? "true" : "false")
         << ",\"timestamps\":" << (run.timestamps ? "true" : "false") << "}";
    finish_line(text);
}

void log_cycle(const cycle_record& record) {
    if (!log_writable()) {
        return;
    }
    text_out text{line};
    put_time(text, record.ended);
    text << "\"seq\":" << record.seq << ",\"result\":\"" << result_name(record.result) << "\"";
    if (record.result == cycle_result::response) {
        text << ",\"payload\":";
        put_string(text, record.payload);
        text << ",\"rtt_us\":" << record.round_trip_us;
    }
    if (record.result == cycle_result::no_response) {
        const read_seen& seen = record.seen;
        text << ",\"cause\":{\"kind\":\"" << CAUSE_NAMES[static_cast<std::size_t>(seen.cause)]
             << "\"";
        if (seen.cause == no_response_cause::cut) {
            text << ",\"bytes\":" << std::uint64_t{seen.cut_bytes}
                 << ",\"pause_ms\":" << seen.cut_pause_ms
                 << ",\"resumed\":" << (seen.resumed ? "true" : "false");
        }
        text << "}";
    }
    // A response may follow warnings too (a broken frame, then a good one): listed
    // whenever there are some, so the lines add up to the summary's counts.
    const std::size_t count = record.warnings.count;
    if (record.result == cycle_result::no_response || count > 0) {
        text << ",\"warnings\":[";
        for (std::size_t i = 0; i < count && i < CYCLE_WARNINGS_KEPT; ++i) {
            text << (i > 0 ? "," : "");
            put_warning(text, record.warnings.kept[i]);
        }
        text << "]";
        if (count > CYCLE_WARNINGS_KEPT) {
            text << ",\"warnings_not_listed\":" << std::uint64_t{count - CYCLE_WARNINGS_KEPT};
        }
    }
    finish_line(text);
}

void log_port_lost(int system_error) {
    if (!log_writable()) {
        return;
    }
    std::array<char, 256> reason{};
    system_error_text(system_error, reason);
    text_out text{line};
    put_time(text, local_now());
    text << "\"event\":\"port_lost\",\"reason\":";
    put_string(text, reason.data());
    finish_line(text);
}

void log_port_reopened(const char* device_path) {
    if (!log_writable()) {
        return;
    }
    text_out text{line};
    put_time(text, local_now());
    text << "\"event\":\"port_reopened\",\"path\":";
    put_string(text, device_path);
    finish_line(text);
}

namespace {

// A percentile: the value, or past the histogram's top, the top and a marker, as the
// text summary writes ">67108.864 ms".
void put_quantile(text_out& text, const char* name, std::uint64_t value_us) {
    const bool over = value_us == UINT64_MAX;
    text << ",\"" << name << "\":" << (over ? ROUND_TRIP_TOP_US : value_us);
    if (over) {
        text << ",\"" << name << "_over\":true";
    }
}

void write_summary(const link_counters& stats, const char* end, verdict result, const char* reason,
                   bool from_signal) {
    if (!log_writable() || summary_written.test_and_set()) {
        return;
    }
    constexpr auto relaxed = std::memory_order_relaxed;
    text_out text{summary_line};
    put_time(text, from_signal ? local_now_in_last_zone() : local_now());
    text << "\"event\":\"summary\",\"end\":\"" << end << "\"";
    if (reason != nullptr) {
        text << ",\"reason\":";
        put_string(text, reason);
    }
    text << ",\"greetings\":" << stats.greetings.load(relaxed)
         << ",\"responses\":" << stats.responses.load(relaxed)
         << ",\"no_response\":" << stats.no_response.load(relaxed)
         << ",\"crc\":" << stats.crc_errors.load(relaxed)
         << ",\"escape\":" << stats.escape_errors.load(relaxed)
         << ",\"length\":" << stats.length_errors.load(relaxed)
         << ",\"port_away\":" << stats.cycles_away.load(relaxed) << ",\"causes\":{";
    for (std::size_t cause = 0; cause < NO_RESPONSE_CAUSES; ++cause) {
        text << (cause > 0 ? "," : "") << "\"" << CAUSE_NAMES[cause]
             << "\":" << stats.causes[cause].load(relaxed);
    }
    text << "},\"rtt_us\":";
    if (stats.responses.load(relaxed) == 0) {
        text << "null";
    } else {
        text << "{\"min\":" << stats.round_trip_min_us.load(relaxed);
        put_quantile(text, "median", round_trip_quantile_us(stats, 500));
        put_quantile(text, "p99", round_trip_quantile_us(stats, 990));
        text << ",\"max\":" << stats.round_trip_max_us.load(relaxed) << "}";
    }
    if (result != verdict::none) {
        text << ",\"passed\":" << (result == verdict::passed ? "true" : "false")
             << ",\"max_loss\":";
        text.decimal(limit_millionths, 6);
    }
    text << "}\n";
    // A cut line is never written: the reason is bounded to leave room.
    if (!text.full()) {
        write_line(summary_line.data(), text.size, from_signal);
    }
}

}  // namespace

void log_summary(const link_counters& stats, const char* end, verdict result, bool from_signal) {
    write_summary(stats, end, result, nullptr, from_signal);
}

void log_open_failed(const char* reason) {
    write_summary(link_stats, "open_failed", judged ? verdict::failed : verdict::none, reason,
                  false);
}

void log_never_opened(const char* reason) {
    write_summary(link_stats, "deadline", verdict::failed, reason, false);
}

bool run_log_kept() {
    if (!log_open || !log_broken) {
        return true;
    }
    print_error("tervalo: --log %s: this run's record is incomplete\n", log_path);
    return false;
}
