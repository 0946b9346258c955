#include "console/console.h"

#include <array>
#include <cstdarg>
#include <cstdio>

namespace {

line_prefix prefix_of_lines = nullptr;
bool lines_suppressed = false;

}  // namespace

void set_line_prefix(line_prefix prefix) {
    prefix_of_lines = prefix;
}

void set_quiet(bool quiet) {
    lines_suppressed = quiet;
}

void print_line(const char* format, ...) {
    if (lines_suppressed) {
        return;
    }
    if (prefix_of_lines != nullptr) {
        std::array<char, LINE_PREFIX_MAX> prefix{};
        std::fwrite(prefix.data(), 1, prefix_of_lines(prefix), stdout);
    }
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::fflush(stdout);
}
