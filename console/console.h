// Console output. Each line goes out whole and at once, so a pipe into a log or
// `tee` shows it the moment it is printed.
//
// Standard output is what scripts read, so a line that could not be written must not
// pass for one that was: the first failed write is reported on standard error, and the
// program ends with OUTPUT_FAILED_STATUS once it sees output_failed(). A pipe whose
// reader has gone still ends the program by SIGPIPE, as for any filter.
#pragma once

#include <cstddef>
#include <span>

// The exit status of a run whose standard output could not be written.
inline constexpr int OUTPUT_FAILED_STATUS = 1;

// Prepares standard output for byte-exact lines ("\r\n" stays two bytes). On Linux it
// also makes sure descriptors 0 to 2 are open, so that nothing opened later (the port)
// can become one of them: a closed standard input or error is opened on /dev/null; a
// closed standard output is too, and counts as a failed write. program names the
// program in that report.
void prepare_console(const char* program = "tervalo");

// printf, then flush. Once a write has failed, later lines are dropped.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The tool's own text on standard output (--help, --version, --list), UTF-8: written as
// print_line writes, except to a Windows console, which is handed it as UTF-16 so that it
// shows names outside ASCII as they are. The cycle's lines always go out byte for byte
// through print_line.
void print_text(const char* format, ...) __attribute__((format(printf, 1, 2)));

// For the platform's prepare_console, when standard output is a console that takes text
// its own way: print_text hands its text to writer, which returns false when it wrote
// none of it.
using console_writer = bool (*)(const char* utf8, std::size_t size);
void write_own_text_with(console_writer writer);

// True once a write or flush of standard output has failed.
bool output_failed();

// status, or OUTPUT_FAILED_STATUS once output has failed: the exit status of a run that
// ends by itself.
inline int unless_output_failed(int status) {
    return output_failed() ? OUTPUT_FAILED_STATUS : status;
}

// For a platform whose C library misnames why a write failed: from now on a failed
// write of standard output is reported with the errno value namer gives for the one
// the C library set.
using write_error_namer = int (*)(int c_error);
void name_write_errors(write_error_namer namer);

// For the platform's prepare_console: the name that starts the failure report.
void name_console_program(const char* program);

// Records that standard output cannot be written, for the reason system_error (an
// errno value), and says so on standard error the first time.
void note_output_failure(int system_error);

// Fills out with what goes before each line and returns its size.
using line_prefix = std::size_t (*)(std::span<char> out);
inline constexpr std::size_t LINE_PREFIX_MAX = 64;

// From now on every line print_line and print_event print begins with what prefix gives
// (nullptr: nothing).
void set_line_prefix(line_prefix prefix);

// Writes line (with its "\n") to standard error, after the line prefix, so that a log of
// both streams can place the event among the cycles; then flushes.
void print_event(const char* line);
// From now on print_line prints nothing (true) or prints again (false).
void set_quiet(bool quiet);
