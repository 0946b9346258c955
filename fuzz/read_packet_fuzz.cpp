// Arbitrary bytes, with gaps, on the scripted line into read_packet until the line is
// drained: every delivery must be the payload of a valid type-0xA2 frame that was on the
// line, with room behind it for the terminating zero, nothing around the record may
// change, and every printed line must be one of the reader's warnings.
#include "fuzz/line_script.h"
#include "tests/fake_device.h"

namespace {

guarded_packet guarded;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake_reset();
    take_printed_lines();
    const auto line = schedule_with_gaps(std::span<const std::uint8_t>(data, size));
    arm_guards(guarded);
    Packet& packet = guarded.packet;
    // Bounded, so that a reader that took nothing could not keep the target here.
    for (int call = 0; call < 64 && fake_unread() > 0; ++call) {
        const int result = read_packet(packet);
        if (!take_printed_lines().well_formed) {
            invariant_broken("a printed line is not one of the reader's warnings");
        }
        if (result != LINK_OK && result != LINK_FAILED) {
            invariant_broken("read_packet returned neither success nor failure");
        }
        if (result == LINK_OK) {
            // What the cycle does before printing.
            packet.data[packet.len] = 0;
            if (packet.len < 1 || packet.len > PAYLOAD_MAX ||
                !line_carries_frame(line, std::span(packet.data).first(packet.len))) {
                invariant_broken("delivered a payload that no valid frame on the line carried");
            }
        }
        if (!guards_intact(guarded)) {
            invariant_broken("memory around the record changed");
        }
    }
    return 0;
}
