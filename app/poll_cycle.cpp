#include "app/poll_cycle.h"

#include "console/console.h"
#include "link/output_lines.h"
#include "link_stats/link_stats.h"
#include "serial/serial_port.h"
#include "timing/clock.h"
#include "timing/stop_request.h"

bool run_cycle(Packet& packet, cycle_record& record, std::int64_t timeout_ms) {
    const bool away = port_handle == PORT_CLOSED;
    count_cycle_start(link_stats, away);
    record.seq = link_stats.greetings.load(std::memory_order_relaxed);
    record.payload = {};
    record.round_trip_us = 0;
    // Taken before the send: taken after it, a tool preempted between the write and the
    // clock would find the reply already there and report a trip of a few microseconds.
    const std::int64_t sent_at = now_us();
    send_hello();
    if (read_packet(packet, timeout_ms) != LINK_OK) {
        // A wait that a stop cut short is no answer missed: the cycle ends unprinted and
        // uncounted.
        if (stop_requested()) {
            uncount_open_cycle(link_stats);
            return false;
        }
        print_line(NO_RESPONSE_LINE);
        record.result = away ? cycle_result::port_away : cycle_result::no_response;
        // A cycle away prints the same line but is counted as away alone, so that the
        // causes add up to the "no response" count.
        if (!away) {
            record.seen = last_read_seen();
            count_no_response(link_stats);
            count_cause(link_stats, record.seen.cause);
        }
    } else {
        record.round_trip_us = now_us() - sent_at;
        // The payload is printed raw, up to its first zero byte if it has one.
        packet.data[packet.len] = 0;
        print_line(RESPONSE_FORMAT, reinterpret_cast<const char*>(packet.data.data()));
        count_response(link_stats, record.round_trip_us);
        record.result = cycle_result::response;
        record.payload = std::span(packet.data).first(packet.len);
    }
    count_cycle_end();
    record.warnings = warnings_this_cycle;
    record.ended = local_now();
    return true;
}
