#include "console/console.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char* program_name = "tervalo";
bool failed = false;
line_prefix prefix_of_lines = nullptr;
bool lines_suppressed = false;
write_error_namer error_namer = nullptr;

}  // namespace

void name_console_program(const char* program) {
    program_name = program;
}

void note_output_failure(int system_error) {
    if (failed) {
        return;
    }
    failed = true;
    std::fprintf(stderr, "%s: cannot write to standard output (%s)\n", program_name,
                 std::strerror(system_error));
    std::fflush(stderr);
}

void name_write_errors(write_error_namer namer) {
    error_namer = namer;
}

bool output_failed() {
    return failed;
}

void set_line_prefix(line_prefix prefix) {
    prefix_of_lines = prefix;
}

void set_quiet(bool quiet) {
    lines_suppressed = quiet;
}

void print_event(const char* line) {
    if (prefix_of_lines != nullptr) {
        std::array<char, LINE_PREFIX_MAX> prefix{};
        std::fwrite(prefix.data(), 1, prefix_of_lines(prefix), stderr);
    }
    std::fputs(line, stderr);
    std::fflush(stderr);
}

void print_line(const char* format, ...) {
    if (failed || lines_suppressed) {
        return;
    }
    errno = 0;
    if (prefix_of_lines != nullptr) {
        std::array<char, LINE_PREFIX_MAX> prefix{};
        std::fwrite(prefix.data(), 1, prefix_of_lines(prefix), stdout);
    }
    va_list args;
    va_start(args, format);
    const int printed = std::vprintf(format, args);
    va_end(args);
    if (std::fflush(stdout) != 0 || printed < 0 || std::ferror(stdout) != 0) {
        // A C library that failed without saying why still failed.
        const int error = errno != 0 ? errno : EIO;
        note_output_failure(error_namer != nullptr ? error_namer(error) : error);
    }
}
