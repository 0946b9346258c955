// Console output. Each line goes out whole and at once, so a pipe into a log or
// `tee` shows it the moment it is printed.
#pragma once

// Prepares standard output for byte-exact lines ("\r\n" stays two bytes).
void prepare_console();

// printf, then flush.
void print_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
