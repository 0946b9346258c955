#include "console/console.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const char* program_name = "tervalo";
bool failed = false;

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

bool output_failed() {
    return failed;
}

void print_line(const char* format, ...) {
    if (failed) {
        return;
    }
    va_list args;
    va_start(args, format);
    errno = 0;
    const int printed = std::vprintf(format, args);
    va_end(args);
    if (std::fflush(stdout) != 0 || printed < 0 || std::ferror(stdout) != 0) {
        // A C library that failed without saying why still failed.
        note_output_failure(errno != 0 ? errno : EIO);
    }
}
