// Console output. Each line goes out whole and at once, so a pipe into a log or
// `tee` shows it the moment it is printed.
#pragma once

#include <cstddef>
#include <span>

// Prepares standard output for byte-exact lines ("\r\n" stays two bytes).
void prepare_console();

// printf, then flush.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Fills out with what goes before each line and returns its size.
using line_prefix = std::size_t (*)(std::span<char> out);
inline constexpr std::size_t LINE_PREFIX_MAX = 64;

// From now on every line print_line prints begins with what prefix gives (nullptr: nothing).
void set_line_prefix(line_prefix prefix);
// From now on print_line prints nothing (true) or prints again (false).
void set_quiet(bool quiet);
