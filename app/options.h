// The command line: the port name and the options that shape a run, or one of the
// options that end at once (--help, --version, --list). Read, and checked in full,
// before any file or port is opened.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "app/poll_cycle.h"
#include "link/link_protocol.h"
#include "metrics/metrics_text.h"
#include "serial/serial_port.h"

// The exit status of a run that never began: wrong usage, a bad option, or a port, log or
// metrics file that cannot be opened. 255 rather than -1: Linux shows -1 as 255 anyway,
// but Windows keeps it as -1, which a batch file's "if errorlevel 1" takes for success.
inline constexpr int START_FAILED_STATUS = 255;

struct run_options {
    const char* port = nullptr;                  // the first argument that is not an option
    std::uint64_t count = 0;                     // -c: greetings to send; 0 without the option
    std::int64_t deadline_ms = 0;                // -w: the run's length; 0 without the option
    std::uint64_t max_loss_millionths = 0;       // --max-loss, in millionths of a percent
    std::int64_t interval_ms = CYCLE_PAUSE_MS;   // -i: the pause after each cycle
    std::int64_t timeout_ms = READ_DEADLINE_MS;  // -W: the wait for each response
    std::uint32_t baud = WANTED_LINE.baud;       // -b
    bool quiet = false;                          // -q
    bool timestamps = false;                     // -D
    bool wait = false;               // --wait: a port missing at the start is waited for
    bool fail_fast = false;          // --fail-fast: a bounded run ends once it can no longer pass
    const char* log_path = nullptr;  // --log
    const char* metrics_path = nullptr;                // --metrics
    std::array<const char*, LAB_LABELS_MAX> labels{};  // --label: "NAME=VALUE", names checked
    std::size_t label_count = 0;
};

// Reads argv into options. Returns true when the tool is to run on options.port. Returns
// false with *exit_status set when the command line has been dealt with here: the usage
// text (no port name; START_FAILED_STATUS), --help, --version or --list (0), or a
// malformed option or value, refused with one standard-error line (START_FAILED_STATUS).
bool read_command_line(int argc, char** argv, run_options& options, int* exit_status);

// Whether the run ends by itself (-c or -w), with a verdict.
inline bool bounded(const run_options& options) {
    return options.count > 0 || options.deadline_ms > 0;
}

// Whether the run goes at another pace or line speed than the default one.
inline bool paced_otherwise(const run_options& options) {
    return options.interval_ms != CYCLE_PAUSE_MS || options.timeout_ms != READ_DEADLINE_MS ||
           options.baud != WANTED_LINE.baud;
}
