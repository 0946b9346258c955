#include "fuzz/line_script.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "console/console.h"
#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"

namespace {

printed_lines printed;

// One of the reader's warnings: its numbers read back must print as the same line.
bool warning_well_formed(const std::string& line) {
    unsigned first = 0;
    unsigned second = 0;
    std::uint8_t decoded = 0;
    const char* text = line.c_str();
    return (std::sscanf(text, "[warn]:[read_packet]:len error %u", &first) == 1 &&
            first < FRAME_LENGTH_MIN && line == printed_line(LENGTH_ERROR_FORMAT, int(first))) ||
           (std::sscanf(text, "[warn]:[read_packet]: crc error %u %u", &first, &second) == 2 &&
            first <= 0xFF && second <= 0xFF && first != second &&
            line == printed_line(CHECK_ERROR_FORMAT, int(first), int(second))) ||
           (std::sscanf(text, "[warn]:esc char error 0x%2x", &first) == 1 &&
            !unescape(static_cast<std::uint8_t>(first), &decoded) &&
            line == printed_line(ESCAPE_ERROR_FORMAT, first));
}

}  // namespace

printed_lines take_printed_lines() {
    return std::exchange(printed, printed_lines{});
}

void invariant_broken(const char* what) {
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

// Replaces the console: the reader's warnings are checked here instead of printed.
void print_line(const char* format, ...) {
    std::array<char, 256> line{};
    va_list args;
    va_start(args, format);
    const int size = std::vsnprintf(line.data(), line.size(), format, args);
    va_end(args);
    ++printed.count;
    printed.well_formed = printed.well_formed && size > 0 &&
                          static_cast<std::size_t>(size) < line.size() &&
                          warning_well_formed(line.data());
}

void prepare_console() {}
