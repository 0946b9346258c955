// tervalo: greets a device over a serial port once a second (or at the pace asked for)
// and prints its answer.
#include <algorithm>
#include <array>
#include <cstdio>
#include <span>
#include <string_view>

#include "app/options.h"
#include "app/poll_cycle.h"
#include "app/port_watch.h"
#include "console/console.h"
#include "console/outside_text.h"
#include "link/output_lines.h"
#include "link_stats/stop_summary.h"
#include "metrics/metrics_file.h"
#include "run_log/run_log.h"
#include "serial/serial_port.h"
#include "timing/clock.h"
#include "timing/local_time.h"
#include "timing/stop_request.h"

namespace {

// -D: the local time and one space before every standard-output line.
std::size_t timestamp_prefix(std::span<char> out) {
    iso8601_text stamp{};
    const std::size_t size = format_iso8601(local_now(), stamp);
    std::copy_n(stamp.begin(), size, out.begin());
    out[size] = ' ';
    return size + 1;
}
static_assert(ISO8601_SIZE + 1 <= LINE_PREFIX_MAX);

// What the run log's start line records.
run_log_start start_record(const run_options& options) {
    return {
        options.port,        options.count,      options.deadline_ms, options.max_loss_millionths,
        options.interval_ms, options.timeout_ms, options.baud,        options.quiet,
        options.timestamps};
}

void records_at_stop(const char* stop_name) {
    release_port();
    log_summary(link_stats, stop_name, verdict::none, true);
    metrics_end();
}

// Whether a cycle begun at now_ms() reading at would have its wait over by the deadline.
bool cycle_fits(const run_options& options, std::int64_t started, std::int64_t at) {
    return options.deadline_ms == 0 || at - started + options.timeout_ms <= options.deadline_ms;
}

// What the summary says of a run ended before its bound, kept for the stop handler too.
std::array<char, VERDICT_REASON_MAX> ended_early{};

// Ends the summary with the verdict, and writes the summary and the records as a stop
// does; then the verdict as exit status.
int judge(const run_options& options, bool held, const char* early) {
    release_port();
    set_summary_verdict({held, options.max_loss_millionths, early});
    write_final_summary();
    metrics_end();
    // A record the user asked for and did not get fails the run, as lost output does;
    // each says so.
    const bool log_kept = run_log_kept();
    const bool metrics_whole = metrics_kept();
    return unless_output_failed(held && log_kept && metrics_whole ? 0 : 1);
}

// The end of a bounded run: at its bound, or by --fail-fast once it could no longer pass.
int end_run(const run_options& options, const char* end) {
    const bool held = link_held(link_stats, options.max_loss_millionths);
    log_summary(link_stats, end, held ? verdict::passed : verdict::failed, false);
    const char* early = nullptr;
    if (std::string_view(end) == "fail_fast") {
        std::snprintf(ended_early.data(), ended_early.size(),
                      "ended by --fail-fast after %llu greetings: it could no longer pass",
                      static_cast<unsigned long long>(link_stats.greetings.load()));
        early = ended_early.data();
    }
    return judge(options, held, early);
}

// A port waited for that never opened before the deadline: the run failed, and why.
int end_never_opened(const run_options& options) {
    const char* reason = never_opened_reason(options.port);
    log_never_opened(reason);
    std::snprintf(ended_early.data(), ended_early.size(), "the port never opened: %s", reason);
    return judge(options, false, ended_early.data());
}

// The most greetings the run can still come to: its count, or as many as fit in the time
// left at one a pause; 0 when that has no bound (-w alone, back to back).
std::uint64_t greetings_at_most(const run_options& options, std::int64_t started) {
    if (options.count > 0) {
        return options.count;
    }
    if (options.interval_ms == 0) {
        return 0;
    }
    const std::int64_t left = options.deadline_ms - (now_ms() - started);
    return link_stats.greetings.load() +
           static_cast<std::uint64_t>(left > 0 ? left / options.interval_ms + 1 : 0);
}

// --fail-fast: whether no greeting to come can make the run pass.
bool cannot_pass(const run_options& options, std::int64_t started) {
    if (!options.fail_fast) {
        return false;
    }
    const std::uint64_t most = greetings_at_most(options, started);
    return most > 0 && loss_decided(link_stats, options.max_loss_millionths, most);
}

// --wait, before the port has first opened: tries it at the pace of a silent cycle and
// counts nothing. False when the deadline came first.
bool wait_for_first_open(const run_options& options, std::int64_t started) {
    for (;;) {
        reopen_if_lost(options.port);
        if (port_handle != PORT_CLOSED) {
            return true;
        }
        std::int64_t pause = std::max<std::int64_t>(options.timeout_ms + options.interval_ms, 1);
        if (options.deadline_ms > 0) {
            const std::int64_t left = options.deadline_ms - (now_ms() - started);
            if (left <= 0) {
                return false;
            }
            pause = std::min(pause, left);
        }
        // A stop meanwhile is taken by the first cycle's boundary, at once.
        if (pause_unless_stopped(static_cast<int>(pause))) {
            return true;
        }
    }
}

// A run whose standard output could not be written ends by itself, verdict or not: its
// lines are what a script reads.
int end_output_failed() {
    release_port();
    write_final_summary();
    log_summary(link_stats, "output_failed", verdict::none, false);
    metrics_end();
    return OUTPUT_FAILED_STATUS;
}

}  // namespace

int main(int argc, char** argv) {
    prepare_console();
    if (output_failed()) {
        return OUTPUT_FAILED_STATUS;  // standard output closed: before any port is opened
    }
    run_options options;
    if (int status = 0; !read_command_line(argc, argv, options, &status)) {
        return unless_output_failed(status);
    }
    // Before the port: a run whose record cannot be kept does not begin. A log among the
    // metrics writer's names is refused before the log is made.
    if (options.metrics_path != nullptr && options.log_path != nullptr &&
        metrics_writer_makes(options.log_path, options.metrics_path)) {
        print_error("tervalo: --log %s: --metrics writes and removes files of that name\n",
                    options.log_path);
        return START_FAILED_STATUS;
    }
    // Before the first record: a stop from here on leaves its summary in each.
    install_stop_summary(records_at_stop);
    if (options.log_path != nullptr && !open_run_log(options.log_path)) {
        return START_FAILED_STATUS;
    }
    if (options.metrics_path != nullptr && run_log_is(options.metrics_path)) {
        print_error("tervalo: --log and --metrics name the same file (%s)\n", options.metrics_path);
        return START_FAILED_STATUS;
    }
    const run_pace pace{options.interval_ms, options.timeout_ms, options.baud};
    if (options.metrics_path != nullptr &&
        !start_metrics(options.metrics_path, options.port, pace,
                       std::span(options.labels.data(), options.label_count))) {
        return START_FAILED_STATUS;
    }
    if (options.timestamps) {
        set_line_prefix(timestamp_prefix);
    }
    // With --wait, -w bounds the wait for the port too; without, the open is not the
    // run's.
    const std::int64_t asked_at = now_ms();
    if (!open_first(options.port, options.baud, options.wait)) {
        print_line(OPEN_FAILED_LINE);
        log_start(start_record(options), nullptr);
        log_open_failed(open_failure_reason(options.port));
        return unless_output_failed(START_FAILED_STATUS);
    }
    // With --wait the cycles begin with the port away; the banner says they begin.
    print_line(BANNER_LINE);
    if (output_failed()) {
        return end_output_failed();
    }
    log_start(start_record(options), opened_path());
    if (port_handle != PORT_CLOSED) {
        metrics_port_up();
    }
    if (paced_otherwise(options)) {
        set_summary_pace(pace);
    }
    set_quiet(options.quiet);
    const std::int64_t started = options.wait ? asked_at : now_ms();
    if (port_handle == PORT_CLOSED && !wait_for_first_open(options, started)) {
        return end_never_opened(options);
    }

    // Static rather than on the stack: 64 KiB is a large share of a thread's stack on
    // some platforms, and the record lives as long as the process anyway.
    static Packet packet;
    cycle_record record;
    for (;;) {
        // A stop taken here, between cycles, finds every record at the same count.
        if (stop_requested()) {
            take_stop();
        }
        reopen_if_lost(options.port);
        if (!run_cycle(packet, record, options.timeout_ms)) {
            continue;
        }
        log_cycle(record);
        metrics_cycle(record);
        if (output_failed()) {
            return end_output_failed();
        }
        if (options.count > 0 && record.seq >= options.count) {
            return end_run(options, "count");
        }
        if (cannot_pass(options, started)) {
            return end_run(options, "fail_fast");
        }
        // No pause that no greeting would follow.
        if (!cycle_fits(options, started, now_ms() + options.interval_ms)) {
            return end_run(options, "deadline");
        }
        // Back to back, not even a zero pause: it would cost a system call a greeting.
        if (options.interval_ms > 0) {
            pause_unless_stopped(static_cast<int>(options.interval_ms));
            if (!cycle_fits(options, started, now_ms())) {
                return end_run(options, "deadline");
            }
        }
    }
}
