#include "app/poll_cycle.h"

#include "console/console.h"
#include "link/output_lines.h"
#include "timing/clock.h"

void run_cycle(Packet& packet) {
    send_hello();
    if (read_packet(packet) != LINK_OK) {
        print_line(NO_RESPONSE_LINE);
    } else {
        // The payload is printed raw, up to its first zero byte if it has one.
        packet.data[packet.len] = 0;
        print_line(RESPONSE_FORMAT, reinterpret_cast<const char*>(packet.data.data()));
    }
    pause_ms(CYCLE_PAUSE_MS);
}
