// tervalo: greets a device over a serial port once a second and prints its answer.
#include "app/options.h"
#include "app/poll_cycle.h"
#include "app/port_watch.h"
#include "console/console.h"
#include "link/output_lines.h"
#include "link_stats/stop_summary.h"

int main(int argc, char** argv) {
    prepare_console();
    if (output_failed()) {
        return OUTPUT_FAILED_STATUS;  // standard output closed: before any port is opened
    }
    if (int status = 0; run_option(argc, argv, &status)) {
        return unless_output_failed(status);
    }
    if (!open_first(argv[1])) {
        print_line(OPEN_FAILED_LINE);
        return unless_output_failed(-1);
    }
    print_line(BANNER_LINE);
    install_stop_summary();

    // Static rather than on the stack: 64 KiB is a large share of a thread's stack on
    // some platforms, and the record lives as long as the process anyway.
    static Packet packet;
    while (!output_failed()) {
        reopen_if_lost(argv[1]);
        run_cycle(packet);
    }
    write_final_summary();
    return OUTPUT_FAILED_STATUS;
}
