#include "fuzz/line_script.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>

#include "console/console.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/fake_device.h"

namespace {

constexpr std::uint64_t GUARD = 0xA5C3'5A3C'9669'0FF0;
printed_lines printed;

// One of the reader's warnings: its numbers read back must print as the same line.
bool warning_well_formed(const std::string& line) {
    unsigned first = 0;
    unsigned second = 0;
    std::uint8_t decoded = 0;
    return (std::sscanf(line.c_str(), "[warn]:[read_packet]:len error %u", &first) == 1 &&
            first < FRAME_LENGTH_MIN && line == printed_line(LENGTH_ERROR_FORMAT, int(first))) ||
           (std::sscanf(line.c_str(), "[warn]:[read_packet]: crc error %u %u", &first, &second) ==
                2 &&
            first <= 0xFF && second <= 0xFF && first != second &&
            line == printed_line(CHECK_ERROR_FORMAT, int(first), int(second))) ||
           (std::sscanf(line.c_str(), "[warn]:esc char error 0x%2x", &first) == 1 &&
            !unescape(static_cast<std::uint8_t>(first), &decoded) &&
            line == printed_line(ESCAPE_ERROR_FORMAT, first));
}

// Decodes the byte at at, advancing at; false where the line ends or an escape is invalid.
bool decode_at(std::span<const std::uint8_t> line, std::size_t& at, std::uint8_t& value) {
    if (at >= line.size()) {
        return false;
    }
    value = line[at++];
    return value != ESCAPE_BYTE || (at < line.size() && unescape(line[at++], &value));
}

}  // namespace

std::vector<std::uint8_t> schedule_with_gaps(std::span<const std::uint8_t> input) {
    std::vector<std::uint8_t> line;
    std::int64_t at_ms = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        if (input[i] == 0xFE && i + 1 < input.size() && input[++i] != 0) {
            at_ms += input[i];
            continue;
        }
        fake_arrive(at_ms, {input[i]});
        line.push_back(input[i]);
    }
    return line;
}

bool line_carries_frame(std::span<const std::uint8_t> line, std::span<const std::uint8_t> payload) {
    const std::size_t length = payload.size() + 1;
    std::vector<std::uint8_t> body{static_cast<std::uint8_t>(length >> 8),
                                   static_cast<std::uint8_t>(length & 0xFF), FRAME_TYPE_TEXT};
    body.insert(body.end(), payload.begin(), payload.end());
    std::uint8_t check = 0;
    for (std::size_t i = 2; i < body.size(); ++i) {
        check ^= body[i];
    }
    body.push_back(check);
    for (std::size_t start = 0; start < line.size(); ++start) {
        std::size_t at = start + 1;
        std::size_t matched = 0;
        std::uint8_t got = 0;
        while (matched < body.size() && decode_at(line, at, got) && got == body[matched]) {
            ++matched;
        }
        if (line[start] == FRAME_START && matched == body.size()) {
            return true;
        }
    }
    return false;
}

void arm_guards(guarded_packet& guarded) {
    guarded.before.fill(GUARD);
    guarded.after.fill(GUARD);
}

bool guards_intact(const guarded_packet& guarded) {
    const auto armed = [](std::uint64_t word) { return word == GUARD; };
    return std::ranges::all_of(guarded.before, armed) && std::ranges::all_of(guarded.after, armed);
}

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
