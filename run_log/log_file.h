// The run log's file: a regular file opened for appending, or a pipe or FIFO that a
// process reads. Every line reaches it whole or not at all, so that a full disk, a slow
// reader or a signal never leaves half a line for the next line to be glued onto. Each
// platform has its own backend file.
#pragma once

#include <cstddef>
#include <cstdint>

enum class log_refusal {
    none,
    system_error,      // the system refused; *system_error says why
    not_file_or_pipe,  // a device, a folder, a socket: nothing a log may be written to
    no_reader,         // a FIFO that no process has open for reading
};

// Opens path for appending, creating it if need be; a FIFO is opened without waiting for
// a reader. Returns log_refusal::none, or why not (with *system_error set for
// system_error: errno, or GetLastError() on Windows). Nothing at path is changed when it
// is refused.
log_refusal log_file_open(const char* path, int* system_error);

// Gives a regular file a line feed at its end if it holds bytes and its last byte is not
// one (a run before was cut off mid-line), so that this run's lines start on a line of
// their own. Returns false with *system_error set when that cannot be written.
bool log_file_end_line(int* system_error);

// Appends the bytes whole, resuming after signals and partial writes, waiting as long as
// a pipe's reader takes. On failure cuts a regular file back to where the line began and
// returns false with *system_error set.
bool log_file_write(const char* bytes, std::size_t size, int* system_error);

// For a signal handler: first finishes a line that log_file_write was interrupted in,
// then appends the bytes (at most the pipe's atomic size), waiting at most wait_ms in
// all. Whole or not at all: returns false, having written none of them, when they do
// not fit in time. Calls nothing a signal handler may not call.
bool log_file_write_now(const char* bytes, std::size_t size, int wait_ms);

// Whether path names the file the log has open (a link to it included).
bool log_file_is(const char* path);

// This process's id, for the run's identity.
std::uint64_t log_process_id();
