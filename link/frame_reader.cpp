// The reader polls: it pulls one raw byte at a time through read_byte, which pauses
// briefly when nothing has arrived, and checks its deadline only between
// attempts, so a frame that is still arriving is never cut off by it. Between attempts
// it waits for the line to have a byte: on an idle line every attempt would give up
// after its two empty reads, so waiting instead of spinning through them changes
// nothing but how often the process wakes.
#include <array>
#include <cstring>

#include "console/console.h"
#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "link_stats/link_stats.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

namespace {

// One attempt at a frame. The start, length and check bytes go to scratch, never to
// the record; the body goes straight into packet.data.
int read_frame(Packet& packet) {
    std::array<std::uint8_t, 2> scratch{};
    if (read_unescaped(scratch.data(), 1) != LINK_OK || scratch[0] != FRAME_START) {
        return LINK_FAILED;
    }
    if (read_unescaped(scratch.data(), 2) != LINK_OK) {
        return LINK_FAILED;
    }
    const auto length = static_cast<std::uint16_t>(scratch[0] << 8 | scratch[1]);
    packet.len = length;
    if (length < FRAME_LENGTH_MIN) {
        print_line(LENGTH_ERROR_FORMAT, length);
        count_warning(link_stats, {link_warning::length, length, 0});
        return LINK_FAILED;
    }
    if (read_unescaped(packet.data.data(), length) != LINK_OK ||
        read_unescaped(scratch.data(), 1) != LINK_OK) {
        return LINK_FAILED;
    }
    // Compared at every length, the largest included, so a corrupted frame is never
    // delivered.
    const std::uint8_t computed = xor_check(packet.data.data(), length);
    if (computed != scratch[0]) {
        print_line(CHECK_ERROR_FORMAT, computed, scratch[0]);
        count_warning(link_stats, {link_warning::crc, computed, scratch[0]});
        return LINK_FAILED;
    }
    if (packet.data[0] != FRAME_TYPE_TEXT) {
        return LINK_FAILED;
    }
    const auto payload_size = static_cast<std::uint16_t>(length - 1);
    std::memmove(packet.data.data(), packet.data.data() + 1, payload_size);
    packet.len = payload_size;
    return LINK_OK;
}

}  // namespace

int read_unescaped(std::uint8_t* dst, std::uint16_t count) {
    std::uint16_t index = 0;
    do {
        std::uint8_t byte = 0;
        if (read_byte(&byte) != LINK_OK) {
            return LINK_FAILED;
        }
        if (byte == ESCAPE_BYTE) {
            std::uint8_t second = 0;
            if (read_byte(&second) != LINK_OK) {
                return LINK_FAILED;
            }
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
    do {
        if (read_frame(packet) == LINK_OK) {
            return LINK_OK;
        }
        const std::int64_t left = deadline_ms - (now_ms() - start);
        if (left > 0) {
            wait_for_input(static_cast<int>(left));
        }
    } while (now_ms() - start < deadline_ms);
    return LINK_FAILED;
}
