// A line of tervalo's output as print_line prints it, from the formats of
// link/output_lines.h: what the simulator records as expected, and what the tests and
// fuzzers compare the tool's output with.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <string>

inline std::string printed_line(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline std::string printed_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(size > 0 ? static_cast<std::size_t>(size) : 0, '\0');
    std::vsnprintf(line.data(), line.size() + 1, format, again);
    va_end(again);
    return line;
}
