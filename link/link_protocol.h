// The link frame, as it is laid out before byte stuffing:
//
//   start  0xAD
//   length 16 bits, big-endian: body bytes, type included, stuffing not counted
//   body   type byte, then the payload
//   check  XOR of the body bytes
//
// Every byte of a frame, start byte included, is stuffed on the wire: 0x11 and 0x13
// (the XON/XOFF characters) and the escape byte 0x5C itself travel as 0x5C followed by
// the value's complement, so a line with software flow control somewhere along it
// never sees them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "link/link_result.h"

inline constexpr std::uint8_t FRAME_START = 0xAD;
inline constexpr std::uint8_t FRAME_TYPE_TEXT = 0xA2;
inline constexpr std::uint8_t ESCAPE_BYTE = 0x5C;

// A frame always carries its type byte and at least one payload byte.
inline constexpr std::size_t FRAME_LENGTH_MIN = 2;
inline constexpr std::size_t FRAME_LENGTH_MAX = 0xFFFF;
inline constexpr std::size_t PAYLOAD_MAX = FRAME_LENGTH_MAX - 1;

// The room encode_frame needs for a payload of payload_size bytes: start, two length
// bytes, type, payload and check byte, each possibly doubled by stuffing.
constexpr std::size_t stuffed_frame_max(std::size_t payload_size) {
    return 2 * (1 + 2 + 1 + payload_size + 1);
}
inline constexpr std::size_t STUFFED_FRAME_MAX = stuffed_frame_max(PAYLOAD_MAX);

// How long read_packet looks for a response unless told otherwise (-W).
inline constexpr std::int64_t READ_DEADLINE_MS = 1000;

// A received frame's body. After a successful read_packet, data holds the payload
// alone and len its size; data is one byte longer than any payload can be, so a
// terminating zero written at data[len] always stays inside the record.
struct Packet {
    std::array<std::uint8_t, 65536> data;
    std::uint16_t len;
};
static_assert(PAYLOAD_MAX < std::tuple_size_v<decltype(Packet::data)>,
              "a zero behind the longest payload must fit");

// XOR of the first count bytes (count >= 1).
std::uint8_t xor_check(const std::uint8_t* bytes, std::uint16_t count);

// Writes value stuffed at out and returns how many bytes that took (1 or 2).
std::size_t put_escaped(std::uint8_t* out, std::uint8_t value);

// Decodes the byte that followed an escape byte into value, undoing put_escaped; false,
// with value untouched, for a byte put_escaped never writes there.
bool unescape(std::uint8_t second, std::uint8_t* value);

// Encodes a whole frame of the given type and payload (1 to PAYLOAD_MAX bytes) into
// out. Returns the number of bytes written, or 0 when the payload is empty, too long,
// or the frame does not fit out.
std::size_t encode_frame(std::uint8_t type, std::span<const std::uint8_t> payload,
                         std::span<std::uint8_t> out);

// Encodes the greeting (type 0xA2, payload "hello") and hands it to port_send, which
// first discards everything pending. Returns the encoded size, 10. A failed write is
// not reported: it shows only as a missing response.
int send_hello();

// Reads count unstuffed bytes (count >= 1) into dst through read_byte. Returns
// LINK_OK, LINK_FAILED when a byte did not arrive, or LINK_ESCAPE_ERROR after printing
// the escape warning. On failure the bytes stored so far stay in dst.
int read_unescaped(std::uint8_t* dst, std::uint16_t count);

// Why read_packet delivered no response, from what it saw in its second. When it saw
// several things the most telling counts, in this order: a well-formed frame of another
// type, a frame it warned of (bad length, check byte or escape), a frame begun and cut
// off by a pause, bytes that never began a frame, nothing at all.
enum class no_response_cause : std::uint8_t { silent, noise, cut, bad_frame, other_type };
inline constexpr std::size_t NO_RESPONSE_CAUSES = 5;
// Their names in the summary, the run log and the metrics.
inline constexpr std::array<const char*, NO_RESPONSE_CAUSES> CAUSE_NAMES{"silent", "noise", "cut",
                                                                         "bad_frame", "other_type"};

struct read_seen {
    no_response_cause cause;
    // For cut, the first frame cut in the second: how many of its bytes came on the wire
    // before the pause (start byte and escapes counted), and how long the pause lasted, up
    // to the next byte (resumed) or else up to the end of the reader's second.
    std::uint32_t cut_bytes;
    std::int64_t cut_pause_ms;
    bool resumed;
};

// What the last read_packet saw; meaningful after it returned LINK_FAILED.
const read_seen& last_read_seen();

// Waits for a valid frame of type 0xA2 and leaves its payload in packet. Attempts are
// repeated until one succeeds or, tested between attempts, deadline_ms have passed since
// the call; an attempt that is receiving a frame is cut only by a gap in the data, which
// is the same whatever the deadline. Returns LINK_OK, or LINK_FAILED with the record's
// contents undefined.
int read_packet(Packet& packet, std::int64_t deadline_ms = READ_DEADLINE_MS);
