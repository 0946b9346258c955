// Replacing a file's whole content in one step, so that a reader finds the old content or
// the new, never a part. Each platform has its own backend file.
#pragma once

#include <span>

// Writes text to temp_path (created or truncated), then renames it over path. temp_path
// must be in path's folder: a rename does not cross file systems, and only a rename
// within one is atomic. On Windows, where no rename replaces a file that a reader holds
// open, the rename is retried for up to a tenth of a second. Returns 0, or the system's error code
// (errno; GetLastError() on Windows) of the step that failed, having removed temp_path then.
int replace_file(const char* path, const char* temp_path, std::span<const char> text);

// Whether the last replace_file failed only because readers held path through all its
// tries (Windows): the text was written beside it, and a later try may well get through.
bool last_replace_held_off();
