// Arbitrary bytes on the scripted line, FE n (n > 0) making the bytes after it arrive n ms
// later and FE 00 standing for the byte FE, into read_packet until the line is drained:
// every delivery must be the payload of a valid type-0xA2 frame that was on the line,
// and every printed line one of the reader's warnings.
#include <vector>

#include "fuzz/line_script.h"
#include "link/link_protocol.h"
#include "tests/fake_device.h"

namespace {

Packet packet;

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake_reset();
    take_printed_lines();
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
        if (!take_printed_lines().well_formed) {
            invariant_broken("a printed line is not one of the reader's warnings");
        }
        if (result != LINK_OK && result != LINK_FAILED) {
            invariant_broken("read_packet returned neither success nor failure");
        }
        // The zero the cycle writes before printing must stay inside the record.
        if (result == LINK_OK && (packet.len < 1 || packet.len > PAYLOAD_MAX ||
                                  (packet.data.at(packet.len) = 0, !line_carries_packet(line)))) {
            invariant_broken("delivered a payload that no valid frame on the line carried");
        }
    }
    return 0;
}
