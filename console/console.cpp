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
console_writer own_text_writer = nullptr;

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

void write_own_text_with(console_writer writer) {
    own_text_writer = writer;
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

namespace {

// Room for the longest of the tool's own texts, the help.
constexpr std::size_t OWN_TEXT_MAX = 16384;

void print_formatted(const char* format, va_list args) {
    if (failed || lines_suppressed) {
        return;
    }
    errno = 0;
    if (prefix_of_lines != nullptr) {
        std::array<char, LINE_PREFIX_MAX> prefix{};
        std::fwrite(prefix.data(), 1, prefix_of_lines(prefix), stdout);
    }
    const int printed = std::vprintf(format, args);
    if (std::fflush(stdout) != 0 || printed < 0 || std::ferror(stdout) != 0) {
        // A C library that failed without saying why still failed.
        const int error = errno != 0 ? errno : EIO;
        note_output_failure(error_namer != nullptr ? error_namer(error) : error);
    }
}

}  // namespace

void print_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    print_formatted(format, args);
    va_end(args);
}

void print_text(const char* format, ...) {
    static std::array<char, OWN_TEXT_MAX> text;
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(text.data(), text.size(), format, args);
    va_end(args);
    const bool whole = size >= 0 && static_cast<std::size_t>(size) < text.size();
    if (failed || !whole || own_text_writer == nullptr ||
        !own_text_writer(text.data(), static_cast<std::size_t>(size))) {
        print_formatted(format, again);
    }
    va_end(again);
}
