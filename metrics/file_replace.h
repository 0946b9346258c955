// Replacing a file's whole content in one step, so that a reader finds the old content or
// the new, never a part. Each platform has its own backend file.
#pragma once

#include <cstdint>
#include <span>

// Writes text to temp_path, a name that must not exist yet (created exclusively, so
// nothing already there, a link, a FIFO or a file of someone else's, is ever opened),
// checks it is a regular file, then renames it over path. temp_path must be in path's
// folder: a rename does not cross file systems, and only a rename within one is atomic.
// On Windows, where no rename replaces a file that a reader holds open, the rename is
// retried for up to a tenth of a second. Returns 0, or the system's error code (errno;
// GetLastError() on Windows) of the step that failed, having removed temp_path then if
// it made it. Calls nothing a signal handler may not call.
int replace_file(const char* path, const char* temp_path, std::span<const char> text);

// 64 bits no other process can guess, for a temporary name. Calls nothing a signal
// handler may not call.
std::uint64_t unpredictable_bits();

// This process's id, and whether the process of that id has ended.
std::uint64_t this_process_id();
bool process_gone(std::uint64_t pid);

// Whether the last replace_file failed only because readers held path through all its
// tries (Windows): the text was written beside it, and a later try may well get through.
bool last_replace_held_off();
