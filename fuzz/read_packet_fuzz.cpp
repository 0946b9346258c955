// Arbitrary bytes on the scripted line, FE n (n > 0) making the bytes after it arrive n ms
// later and FE 00 standing for the byte FE, into read_packet until the line is drained:
// every delivery must be the payload of a valid type-0xA2 frame that was on the line,
// and every printed line one of the reader's warnings. Then the input taken as a payload,
// framed by the project's encoder, must come back unchanged and silently. The console is
// replaced by a check of each line; the reader's record is a global of its own, so that
// AddressSanitizer sees any write past it.
#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "console/console.h"
#include "link/frame_bytes.h"
#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/fake_device.h"

namespace {

Packet packet;
std::size_t lines_printed = 0;

// Stops with a message naming the broken invariant, so that the fuzzer keeps the input.
void check(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

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

// Decodes the byte at at, advancing at; false where the line ends or an escape is invalid.
bool decode_at(const std::vector<std::uint8_t>& line, std::size_t& at, std::uint8_t& value) {
    if (at >= line.size()) {
        return false;
    }
    value = line[at++];
    return value != ESCAPE_BYTE || (at < line.size() && unescape(line[at++], &value));
}

// Whether line holds a frame of type 0xA2 with a matching check byte that carries the
// packet's payload, decoded independently of the reader (raw 0x11 and 0x13 taken as
// themselves, as the reader takes them).
bool line_carries_packet(const std::vector<std::uint8_t>& line) {
    const std::size_t length = packet.len + 1U;
    std::vector<std::uint8_t> body{static_cast<std::uint8_t>(length >> 8),
                                   static_cast<std::uint8_t>(length & 0xFF), FRAME_TYPE_TEXT};
    body.insert(body.end(), packet.data.begin(), packet.data.begin() + packet.len);
    std::uint8_t check_byte = 0;
    for (std::size_t i = 2; i < body.size(); ++i) {
        check_byte ^= body[i];
    }
    body.push_back(check_byte);
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

}  // namespace

void print_line(const char* format, ...) {
    std::array<char, 256> line{};
    va_list args;
    va_start(args, format);
    const int size = std::vsnprintf(line.data(), line.size(), format, args);
    va_end(args);
    ++lines_printed;
    check(size > 0 && static_cast<std::size_t>(size) < line.size() &&
              warning_well_formed(line.data()),
          "a printed line is not one of the reader's warnings");
}

void prepare_console(const char*) {}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake_reset();
    std::vector<std::uint8_t> line;
    std::int64_t at_ms = 0;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0xFE && i + 1 < size && data[++i] != 0) {
            at_ms += data[i];
        } else {
            fake_arrive(at_ms, {data[i]});
            line.push_back(data[i]);
        }
    }
    // Bounded, so that a reader that took nothing could not keep the target here.
    for (int call = 0; call < 64 && fake_unread() > 0; ++call) {
        const int result = read_packet(packet);
        check(result == LINK_OK || result == LINK_FAILED, "read_packet returned neither result");
        // The zero the cycle writes before printing must stay inside the record.
        check(result != LINK_OK || (packet.len >= 1 && packet.len <= PAYLOAD_MAX &&
                                    (packet.data.at(packet.len) = 0, line_carries_packet(line))),
              "delivered a payload that no valid frame on the line carried");
    }
    const std::span payload(data, std::min<std::size_t>(size, PAYLOAD_MAX));
    fake_reset();
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, payload));
    lines_printed = 0;
    check(payload.empty() || (read_packet(packet) == LINK_OK && packet.len == payload.size() &&
                              std::equal(payload.begin(), payload.end(), packet.data.begin()) &&
                              lines_printed == 0 && fake_unread() == 0),
          "an encoded payload did not come back unchanged and silently");
    return 0;
}
