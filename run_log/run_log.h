// The run log (--log FILE): one JSON object per line for every greeting and every event
// of the run, appended to FILE, for programs to read back. Every line is formed whole in
// a fixed buffer and written with one system call. Field by field:
//
//   {"t":"<ISO 8601 local time>","seq":N,"result":"response"|"no_response"|"port_away",
//    "payload":"...","rtt_us":N,"warnings":[...]}   one per greeting
//   {"t":...,"event":"start","port":...,"path":...,"version":...,"options":{...}}
//      options: count, deadline_s, max_loss, interval_s, timeout_s, baud, quiet, timestamps
//   {"t":...,"event":"port_lost","reason":...}  {"t":...,"event":"port_reopened","path":...}
//   {"t":...,"event":"summary","end":...,"greetings":N,"responses":N,...}   last
//
// Strings hold one code point per byte: printable ASCII as it is, every other byte (and
// '"' and '\') escaped, so decoding a string as Latin-1 gives the bytes back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "app/options.h"
#include "link_stats/cycle_record.h"
#include "link_stats/link_stats.h"

// Opens path for appending. On failure prints one standard-error line and returns false.
bool open_run_log(const char* path);

// Each writes its line if the log is open; a write that fails is reported once on
// standard error, and the log is written no more (a line after a failed one could
// follow half a line).
void log_start(const run_options& options, const char* device_path);
void log_cycle(const cycle_record& record);
void log_port_lost(int system_error);
void log_port_reopened(const char* device_path);

// How a run ended, for the summary line.
enum class verdict { none, passed, failed };

// The summary line, once per process: the first call writes it, later ones do nothing.
// end names what ended the run ("count", "deadline", "SIGINT", ...). Calls nothing a
// signal handler may not call when from_signal is true, and then reports no failure.
void log_summary(const link_counters& stats, const char* end, verdict result, bool from_signal);

// The JSON string of bytes, quotes included, as the log writes it. For the tests.
std::size_t json_string(std::span<const std::uint8_t> bytes, std::span<char> out);
