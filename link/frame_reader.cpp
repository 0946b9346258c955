// The reader polls: it pulls one raw byte at a time through read_byte, which pauses
// briefly when nothing has arrived, and checks its deadline only between
// attempts, so a frame that is still arriving is never cut off by it. Between attempts
// it waits for the line to have a byte: on an idle line every attempt would give up
// after its two empty reads, so waiting instead of spinning through them changes
// nothing but how often the process wakes.
//
// What each attempt came to is kept, so that a second without a response has a cause.
#include <algorithm>
#include <array>
#include <cstring>

#include "console/console.h"
#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "link_stats/link_stats.h"
#include "serial/serial_port.h"
#include "timing/clock.h"
#include "timing/stop_request.h"

namespace {

// Raw bytes read_unescaped has taken since read_packet began.
std::uint32_t bytes_taken = 0;
read_seen seen{};

// How an attempt ended. Past the start byte a missing byte is a pause inside the frame;
// a warning ends it as a bad frame whether or not the start byte had come.
enum class attempt_end { delivered, hunted, cut, bad_frame, other_type };

attempt_end failed_as(int result, attempt_end otherwise) {
    return result == LINK_ESCAPE_ERROR ? attempt_end::bad_frame : otherwise;
}

// One attempt at a frame. The start, length and check bytes go to scratch, never to
// the record; the body goes straight into packet.data.
attempt_end read_frame(Packet& packet) {
    std::array<std::uint8_t, 2> scratch{};
    if (const int result = read_unescaped(scratch.data(), 1); result != LINK_OK) {
        return failed_as(result, attempt_end::hunted);
    }
    if (scratch[0] != FRAME_START) {
        return attempt_end::hunted;
    }
    const std::uint32_t frame_from = bytes_taken - 1;
    const auto cut_here = [&](int result) {
        if (result == LINK_FAILED && seen.cause < no_response_cause::cut) {
            seen.cut_bytes = bytes_taken - frame_from;
        }
        return failed_as(result, attempt_end::cut);
    };
    if (const int result = read_unescaped(scratch.data(), 2); result != LINK_OK) {
        return cut_here(result);
    }
    const auto length = static_cast<std::uint16_t>(scratch[0] << 8 | scratch[1]);
    packet.len = length;
    if (length < FRAME_LENGTH_MIN) {
        print_line(LENGTH_ERROR_FORMAT, length);
        count_warning(link_stats, {link_warning::length, length, 0});
        return attempt_end::bad_frame;
    }
    if (const int result = read_unescaped(packet.data.data(), length); result != LINK_OK) {
        return cut_here(result);
    }
    if (const int result = read_unescaped(scratch.data(), 1); result != LINK_OK) {
        return cut_here(result);
    }
    // Compared at every length, the largest included, so a corrupted frame is never
    // delivered.
    const std::uint8_t computed = xor_check(packet.data.data(), length);
    if (computed != scratch[0]) {
        print_line(CHECK_ERROR_FORMAT, computed, scratch[0]);
        count_warning(link_stats, {link_warning::crc, computed, scratch[0]});
        return attempt_end::bad_frame;
    }
    if (packet.data[0] != FRAME_TYPE_TEXT) {
        return attempt_end::other_type;
    }
    const auto payload_size = static_cast<std::uint16_t>(length - 1);
    std::memmove(packet.data.data(), packet.data.data() + 1, payload_size);
    packet.len = payload_size;
    return attempt_end::delivered;
}

// Takes what an attempt came to into seen.cause, the most telling kept.
void note(attempt_end end) {
    const no_response_cause cause = end == attempt_end::cut          ? no_response_cause::cut
                                    : end == attempt_end::bad_frame  ? no_response_cause::bad_frame
                                    : end == attempt_end::other_type ? no_response_cause::other_type
                                                                     : no_response_cause::silent;
    seen.cause = std::max(seen.cause, cause);
}

}  // namespace

const read_seen& last_read_seen() {
    return seen;
}

int read_unescaped(std::uint8_t* dst, std::uint16_t count) {
    std::uint16_t index = 0;
    do {
        std::uint8_t byte = 0;
        if (read_byte(&byte) != LINK_OK) {
            return LINK_FAILED;
        }
        ++bytes_taken;
        if (byte == ESCAPE_BYTE) {
            std::uint8_t second = 0;
            if (read_byte(&second) != LINK_OK) {
                return LINK_FAILED;
            }
            ++bytes_taken;
            if (!unescape(second, &byte)) {
                print_line(ESCAPE_ERROR_FORMAT, second);
                count_warning(link_stats, {link_warning::escape, second, 0});
                return LINK_ESCAPE_ERROR;
            }
        }
        dst[index] = byte;
        ++index;
    } while (index < count);
    return LINK_OK;
}

int read_packet(Packet& packet, std::int64_t deadline_ms) {
    const std::int64_t start = now_ms();
    bytes_taken = 0;
    seen = read_seen{};
    do {
        const attempt_end end = read_frame(packet);
        if (end == attempt_end::delivered) {
            return LINK_OK;
        }
        const bool first_cut = end == attempt_end::cut && seen.cause < no_response_cause::cut;
        note(end);
        const std::int64_t left = deadline_ms - (now_ms() - start);
        const bool more = left > 0 && wait_for_input(static_cast<int>(left));
        // The wait ends at the next byte or at the deadline: either ends the pause.
        if (first_cut) {
            seen.cut_pause_ms = now_ms() - quiet_since_ms();
            seen.resumed = more;
        }
    } while (now_ms() - start < deadline_ms && !stop_requested());
    if (seen.cause == no_response_cause::silent && bytes_taken > 0) {
        seen.cause = no_response_cause::noise;
    }
    return LINK_FAILED;
}
