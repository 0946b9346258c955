// The run log (--log FILE): one JSON object per line for every greeting and every event
// of the run, appended to FILE, for programs to read back. Every line is formed whole in
// a fixed buffer and reaches the file whole or not at all. Field by field:
//
//   {"t":"<ISO 8601 local time>","run":"<id>","seq":N,
//    "result":"response"|"no_response"|"port_away","payload":"...","rtt_us":N,
//    "warnings":[...]}   one per greeting
//   {"t":...,"run":...,"event":"start","port":...,"path":...,"version":...,"options":{...}}
//      options: count, deadline_s, max_loss, interval_s, timeout_s, baud, quiet, timestamps
//   {"t":...,"run":...,"event":"port_lost","reason":...}
//   {"t":...,"run":...,"event":"port_reopened","path":...}
//   {"t":...,"run":...,"event":"summary","end":...,"greetings":N,"responses":N,...,
//    "causes":{...},"passed":B,"max_loss":P}   last; passed and max_loss for a bounded run
//
// "run" is the same in every line of one run and differs between runs (the start time in
// milliseconds and the process id), so runs sharing a file can be told apart.
//
// Strings hold one code point per byte: printable ASCII as it is, every other byte (and
// '"' and '\') escaped, so decoding a string as Latin-1 gives the bytes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "link_stats/cycle_record.h"
#include "link_stats/link_stats.h"

// What the start line records of the run: the values it was asked for.
struct run_log_start {
    const char* port = nullptr;             // as the user named it
    std::uint64_t count = 0;                // 0: not bounded by a count
    std::int64_t deadline_ms = 0;           // 0: not bounded by a deadline
    std::uint64_t max_loss_millionths = 0;  // millionths of a percent
    std::int64_t interval_ms = 0;           // the pause after each cycle
    std::int64_t timeout_ms = 0;            // the wait for each response
    std::uint32_t baud = 0;
    bool quiet = false;
    bool timestamps = false;
};

// Opens path for appending: a regular file, or a pipe or FIFO a process reads. On
// failure (anything else at path, a FIFO without a reader) prints one standard-error
// line and returns false.
bool open_run_log(const char* path);

// Whether path names the log's own file: --metrics must not replace it.
bool run_log_is(const char* path);

// Each writes its line if the log is open; a write that fails is reported once on
// standard error, and the log is written no more (a line after a failed one could
// follow half a line).
// device_path nullptr: the port could not be opened, and "path" is null.
void log_start(const run_log_start& run, const char* device_path);
void log_cycle(const cycle_record& record);
void log_port_lost(int system_error);
void log_port_reopened(const char* device_path);

// How a run ended, for the summary line.
enum class verdict { none, passed, failed };

// The summary line, once per process: the first call writes it, later ones do nothing.
// end names what ended the run ("count", "deadline", "fail_fast", "SIGINT", ...). Calls nothing a
// signal handler may not call when from_signal is true, and then reports no failure.
void log_summary(const link_counters& stats, const char* end, verdict result, bool from_signal);

// The summary of a run whose port could not be opened: end "open_failed", and why; a
// bounded run has failed.
void log_open_failed(const char* reason);

// The summary of a bounded run that waited for its port until its deadline (--wait): end
// "deadline", failed, and why the last try failed.
void log_never_opened(const char* reason);

// False, having said so on standard error, when a line of this run could not be written:
// the record the user asked for is not whole.
bool run_log_kept();

// How long a stop waits at most for the log to take its summary line.
inline constexpr int LOG_STOP_WAIT_MS = 250;

// The JSON string of bytes, quotes included, as the log writes it. For the tests.
std::size_t json_string(std::span<const std::uint8_t> bytes, std::span<char> out);
