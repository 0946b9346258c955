#include "app/poll_cycle.h"

#include "console/console.h"
#include "link/output_lines.h"
#include "link_stats/link_stats.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

void run_cycle(Packet& packet) {
    count_cycle_start(link_stats, port_handle == PORT_CLOSED);
    send_hello();
    const std::int64_t sent_at = now_ms();
    if (read_packet(packet) != LINK_OK) {
        print_line(NO_RESPONSE_LINE);
        count_no_response(link_stats);
    } else {
        const std::int64_t round_trip_ms = now_ms() - sent_at;
        // The payload is printed raw, up to its first zero byte if it has one.
        packet.data[packet.len] = 0;
        print_line(RESPONSE_FORMAT, reinterpret_cast<const char*>(packet.data.data()));
        count_response(link_stats, round_trip_ms);
    }
    pause_ms(CYCLE_PAUSE_MS);
}
