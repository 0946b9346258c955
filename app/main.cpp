// tervalo: greets a device over a serial port once a second and prints its answer.
#include "app/poll_cycle.h"
#include "console/console.h"
#include "link/output_lines.h"
#include "serial/serial_port.h"

int main(int argc, char** argv) {
    prepare_console();
    if (argc < 2) {
        print_line(USAGE_TEXT);
        return -1;
    }
    port_handle = open_port(argv[1]);
    if (port_handle < 0) {
        print_line(OPEN_FAILED_LINE);
        return -1;
    }
    print_line(BANNER_LINE);

    // Static rather than on the stack: 64 KiB is a large share of a thread's stack on
    // some platforms, and the record lives as long as the process anyway.
    static Packet packet;
    for (;;) {
        run_cycle(packet);
    }
}
