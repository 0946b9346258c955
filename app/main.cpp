// tervalo: greets a device over a serial port once a second and prints its answer.
#include <algorithm>

#include "app/options.h"
#include "app/poll_cycle.h"
#include "app/port_watch.h"
#include "console/console.h"
#include "link/output_lines.h"
#include "link_stats/stop_summary.h"
#include "metrics/metrics_file.h"
#include "run_log/run_log.h"
#include "serial/serial_port.h"
#include "timing/clock.h"
#include "timing/local_time.h"

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

void log_summary_at_stop(const char* stop_name) {
    log_summary(link_stats, stop_name, verdict::none, true);
}

// Whether a cycle begun at now_ms() reading at would have its wait over by the deadline.
bool cycle_fits(const run_options& options, std::int64_t started, std::int64_t at) {
    return options.deadline_ms == 0 || at - started + READ_DEADLINE_MS <= options.deadline_ms;
}

// The end of a bounded run: the summary as at a stop, then the verdict as exit status.
int end_run(const run_options& options, const char* end) {
    write_final_summary();
    const bool held = link_held(link_stats, options.max_loss_millionths);
    log_summary(link_stats, end, held ? verdict::passed : verdict::failed, false);
    return unless_output_failed(held ? 0 : 1);
}

// A run whose standard output could not be written ends by itself, verdict or not: its
// lines are what a script reads.
int end_output_failed() {
    write_final_summary();
    log_summary(link_stats, "output_failed", verdict::none, false);
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
    // Before the port: a run whose record cannot be kept does not begin.
    if (options.log_path != nullptr && !open_run_log(options.log_path)) {
        return -1;
    }
    if (options.metrics_path != nullptr && !start_metrics(options.metrics_path, options.port)) {
        return -1;
    }
    if (options.timestamps) {
        set_line_prefix(timestamp_prefix);
    }
    if (!open_first(options.port, options.wait)) {
        print_line(OPEN_FAILED_LINE);
        return unless_output_failed(-1);
    }
    // With --wait the cycles begin with the port away; the banner says they begin.
    print_line(BANNER_LINE);
    if (output_failed()) {
        return end_output_failed();
    }
    log_start(options, opened_path());
    if (port_handle != PORT_CLOSED) {
        metrics_port_up();
    }
    install_stop_summary(log_summary_at_stop);
    set_quiet(options.quiet);

    // Static rather than on the stack: 64 KiB is a large share of a thread's stack on
    // some platforms, and the record lives as long as the process anyway.
    static Packet packet;
    cycle_record record;
    const std::int64_t started = now_ms();
    for (;;) {
        reopen_if_lost(options.port);
        run_cycle(packet, record);
        log_cycle(record);
        metrics_cycle(record);
        if (output_failed()) {
            return end_output_failed();
        }
        if (options.count > 0 && record.seq >= options.count) {
            return end_run(options, "count");
        }
        // No pause that no greeting would follow.
        if (!cycle_fits(options, started, now_ms() + CYCLE_PAUSE_MS)) {
            return end_run(options, "deadline");
        }
        pause_ms(CYCLE_PAUSE_MS);
        if (!cycle_fits(options, started, now_ms())) {
            return end_run(options, "deadline");
        }
    }
}
