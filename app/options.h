// The command line: the port name and the options that shape a run, or one of the
// options that end at once (--help, --version, --list). Read, and checked in full,
// before any file or port is opened.
#pragma once

#include <cstdint>

struct run_options {
    const char* port = nullptr;             // the first argument that is not an option
    std::uint64_t count = 0;                // -c: greetings to send; 0 without the option
    std::int64_t deadline_ms = 0;           // -w: the run's length; 0 without the option
    std::uint64_t max_loss_millionths = 0;  // --max-loss, in millionths of a percent
    bool quiet = false;                     // -q
    bool timestamps = false;                // -D
    bool wait = false;                      // --wait: a port missing at the start is waited for
    const char* log_path = nullptr;         // --log
    const char* metrics_path = nullptr;     // --metrics
};

// Reads argv into options. Returns true when the tool is to run on options.port. Returns
// false with *exit_status set when the command line has been dealt with here: the usage
// text (no port name; 255), --help, --version or --list (0), or a malformed option or
// value, refused with one standard-error line (255).
bool read_command_line(int argc, char** argv, run_options& options, int* exit_status);

// Whether the run ends by itself (-c or -w), with a verdict.
inline bool bounded(const run_options& options) {
    return options.count > 0 || options.deadline_ms > 0;
}
