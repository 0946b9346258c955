#include "fuzz/line_script.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "console/console.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/fake_device.h"

namespace {

constexpr std::uint64_t GUARD = 0xA5C3'5A3C'9669'0FF0;

std::size_t lines_printed = 0;
bool lines_well_formed = true;

// What follows the text before the first conversion of format, if line starts with
// that text; nullptr otherwise.
const char* after_lead(const std::string& line, std::string_view format) {
    const std::string_view lead = format.substr(0, format.find('%'));
    return line.starts_with(lead) ? line.c_str() + lead.size() : nullptr;
}

// One of the reader's three warnings, with values it can print: the numbers are read
// back from the line, and the line must be exactly what the tool's format makes of them.
bool warning_well_formed(std::string_view line) {
    const std::string text(line);
    unsigned first = 0;
    unsigned second = 0;
    if (const char* values = after_lead(text, LENGTH_ERROR_FORMAT);
        values != nullptr && std::sscanf(values, "%u", &first) == 1) {
        return first < FRAME_LENGTH_MIN &&
               text == printed_line(LENGTH_ERROR_FORMAT, static_cast<int>(first));
    }
    if (const char* values = after_lead(text, CHECK_ERROR_FORMAT);
        values != nullptr && std::sscanf(values, "%u %u", &first, &second) == 2) {
        return first <= 0xFF && second <= 0xFF && first != second &&
               text == printed_line(CHECK_ERROR_FORMAT, static_cast<int>(first),
                                    static_cast<int>(second));
    }
    if (const char* values = after_lead(text, ESCAPE_ERROR_FORMAT);
        values != nullptr && std::sscanf(values, "%2x", &first) == 1) {
        std::uint8_t decoded = 0;
        return !unescape(static_cast<std::uint8_t>(first), &decoded) &&
               text == printed_line(ESCAPE_ERROR_FORMAT, first);
    }
    return false;
}

// Decodes one byte of the line at at, advancing at; false where the line ends or an
// escape pair is invalid.
bool decode_at(std::span<const std::uint8_t> line, std::size_t& at, std::uint8_t& value) {
    if (at >= line.size()) {
        return false;
    }
    value = line[at++];
    if (value != ESCAPE_BYTE) {
        return true;
    }
    if (at >= line.size()) {
        return false;
    }
    return unescape(line[at++], &value);
}

bool frame_at(std::span<const std::uint8_t> line, std::size_t at,
              std::span<const std::uint8_t> payload) {
    const std::size_t length = payload.size() + 1;
    std::uint8_t check = FRAME_TYPE_TEXT;
    for (const std::uint8_t byte : payload) {
        check ^= byte;
    }
    const std::size_t expected_size = 1 + 2 + length + 1;
    for (std::size_t i = 0; i < expected_size; ++i) {
        std::uint8_t want = 0;
        if (i == 0) {
            want = FRAME_START;
        } else if (i == 1) {
            want = static_cast<std::uint8_t>(length >> 8);
        } else if (i == 2) {
            want = static_cast<std::uint8_t>(length & 0xFF);
        } else if (i == 3) {
            want = FRAME_TYPE_TEXT;
        } else if (i == expected_size - 1) {
            want = check;
        } else {
            want = payload[i - 4];
        }
        std::uint8_t got = 0;
        if (!decode_at(line, at, got) || got != want) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::vector<std::uint8_t> schedule_with_gaps(std::span<const std::uint8_t> input) {
    std::vector<std::uint8_t> line;
    std::int64_t at_ms = 0;
    for (std::size_t i = 0; i < input.size(); ++i) {
        std::uint8_t byte = input[i];
        if (byte == GAP_MARKER && i + 1 < input.size()) {
            ++i;
            if (input[i] != 0) {
                at_ms += input[i];
                continue;
            }
        }
        fake_arrive(at_ms, {byte});
        line.push_back(byte);
    }
    return line;
}

bool line_carries_frame(std::span<const std::uint8_t> line, std::span<const std::uint8_t> payload) {
    for (std::size_t at = 0; at < line.size(); ++at) {
        if (line[at] == FRAME_START && frame_at(line, at, payload)) {
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
    for (std::size_t i = 0; i < guarded.before.size(); ++i) {
        if (guarded.before[i] != GUARD || guarded.after[i] != GUARD) {
            return false;
        }
    }
    return true;
}

std::size_t take_printed_lines() {
    const std::size_t count = lines_printed;
    lines_printed = 0;
    return count;
}

bool printed_lines_well_formed() {
    const bool well_formed = lines_well_formed;
    lines_well_formed = true;
    return well_formed;
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
    ++lines_printed;
    if (size < 0 || static_cast<std::size_t>(size) >= line.size() ||
        !warning_well_formed(std::string_view(line.data(), static_cast<std::size_t>(size)))) {
        lines_well_formed = false;
    }
}

void prepare_console() {}
