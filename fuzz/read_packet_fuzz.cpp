// Arbitrary bytes, with gaps, on the scripted line into read_packet, called again and
// again until the line is drained. Whatever arrives, every delivery must be the payload
// of a valid type-0xA2 frame that was on the line, the record must hold it with room for
// the terminating zero, nothing around the record may change, and every printed line
// must be one of the reader's warnings.
#include <cstddef>
#include <cstdint>
#include <span>

#include "fuzz/line_script.h"
#include "tests/fake_device.h"

namespace {

// Enough for a drained line: every call but the last consumes at least one byte.
constexpr int CALLS_MAX = 64;

guarded_packet guarded;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fake_reset();
    take_printed_lines();
    printed_lines_well_formed();
    const auto line = schedule_with_gaps(std::span<const std::uint8_t>(data, size));
    arm_guards(guarded);
    Packet& packet = guarded.packet;

    for (int call = 0; call < CALLS_MAX && fake_unread() > 0; ++call) {
        const int result = read_packet(packet);
        if (!guards_intact(guarded)) {
            invariant_broken("memory around the record changed");
        }
        if (!printed_lines_well_formed()) {
            invariant_broken("a printed line is not one of the reader's warnings");
        }
        if (result != LINK_OK) {
            if (result != LINK_FAILED) {
                invariant_broken("read_packet returned neither success nor failure");
            }
            continue;
        }
        if (packet.len < 1 || packet.len > PAYLOAD_MAX) {
            invariant_broken("delivered payload size out of range");
        }
        // What the cycle does before printing: the zero must land inside the record.
        packet.data[packet.len] = 0;
        if (!guards_intact(guarded)) {
            invariant_broken("the terminating zero left the record");
        }
        if (!line_carries_frame(line,
                                std::span<const std::uint8_t>(packet.data.data(), packet.len))) {
            invariant_broken("delivered a payload that no valid frame on the line carried");
        }
    }
    return 0;
}
