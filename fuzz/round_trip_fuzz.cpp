// Any payload, encoded by the project's encoder behind noise that can neither start a
// frame nor begin an escape, must come back from read_packet unchanged and silently.
//
// Input: the first byte is the length of the noise, the bytes after it the noise, the
// rest the payload.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fuzz/line_script.h"
#include "link/frame_bytes.h"
#include "tests/fake_device.h"

namespace {

guarded_packet guarded;

// 0xAD would start a frame and 0x5C would pair with the next byte; either makes the
// outcome legitimately different, so they are moved to a neighbouring value.
std::uint8_t harmless(std::uint8_t byte) {
    return byte == FRAME_START || byte == ESCAPE_BYTE ? static_cast<std::uint8_t>(byte + 1) : byte;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t noise_size = std::min<std::size_t>(data[0], size - 2);
    std::vector<std::uint8_t> noise(data + 1, data + 1 + noise_size);
    std::transform(noise.begin(), noise.end(), noise.begin(), harmless);
    const std::span<const std::uint8_t> payload(
        data + 1 + noise_size, std::min<std::size_t>(size - 1 - noise_size, PAYLOAD_MAX));

    const std::vector<std::uint8_t> wire = frame_bytes(FRAME_TYPE_TEXT, payload);
    if (wire.empty()) {
        invariant_broken("the encoder refused a payload of allowed size");
    }
    fake_reset();
    take_printed_lines();
    fake_arrive(0, noise);
    fake_arrive(0, wire);
    arm_guards(guarded);

    if (read_packet(guarded.packet) != LINK_OK) {
        invariant_broken("an encoded frame was not read back");
    }
    if (!guards_intact(guarded)) {
        invariant_broken("memory around the record changed");
    }
    if (take_printed_lines() != 0) {
        invariant_broken("a warning was printed for noise and a valid frame");
    }
    const Packet& packet = guarded.packet;
    if (packet.len != payload.size() ||
        !std::equal(payload.begin(), payload.end(), packet.data.begin())) {
        invariant_broken("the payload came back changed");
    }
    if (fake_unread() != 0) {
        invariant_broken("bytes of the frame were left unread");
    }
    return 0;
}
