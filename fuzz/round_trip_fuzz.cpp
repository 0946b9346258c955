// Any payload, encoded by the project's encoder behind noise that can neither start a
// frame nor begin an escape, must come back from read_packet unchanged and silently.
// Input: the length of the noise, the noise, then the payload.
#include <algorithm>

#include "fuzz/line_script.h"
#include "link/frame_bytes.h"
#include "link/link_protocol.h"
#include "tests/fake_device.h"

namespace {

Packet packet;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const std::size_t noise_size = std::min<std::size_t>(data[0], size - 2);
    std::vector<std::uint8_t> noise(data + 1, data + 1 + noise_size);
    // 0xAD would start a frame and 0x5C pair with the next byte: moved to a neighbour.
    for (std::uint8_t& byte : noise) {
        byte += byte == FRAME_START || byte == ESCAPE_BYTE ? 1 : 0;
    }
    const std::span<const std::uint8_t> payload(
        data + 1 + noise_size, std::min<std::size_t>(size - 1 - noise_size, PAYLOAD_MAX));
    fake_reset();
    take_printed_lines();
    fake_arrive(0, noise);
    fake_arrive(0, frame_bytes(FRAME_TYPE_TEXT, payload));
    if (read_packet(packet) != LINK_OK || packet.len != payload.size() ||
        !std::equal(payload.begin(), payload.end(), packet.data.begin())) {
        invariant_broken("the payload did not come back unchanged");
    }
    if (take_printed_lines().count != 0 || fake_unread() != 0) {
        invariant_broken("a warning printed, or bytes of the frame left unread");
    }
    return 0;
}
