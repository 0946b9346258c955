// The run log's file: opened once for appending, and written a whole line per call, so
// that a process killed at any moment leaves only whole lines behind. Each platform has
// its own backend file.
#pragma once

#include <cstddef>

// Opens path for appending, creating it if need be. Returns false with *system_error set
// (errno, or GetLastError() on Windows) when it cannot.
bool log_file_open(const char* path, int* system_error);

// Appends size bytes with one system call. Returns false with *system_error set when the
// call failed or wrote less. Calls nothing a signal handler may not call.
bool log_file_write(const char* bytes, std::size_t size, int* system_error);
