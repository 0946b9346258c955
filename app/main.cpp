// tervalo: greets a device over a serial port once a second and prints its answer.
#include "app/poll_cycle.h"
#include "app/port_watch.h"
#include "console/console.h"

int main(int argc, char** argv) {
    prepare_console();
    if (argc < 2) {
        print_line("usage: tervalo com_port\nexample: tervalo COM1\n");
        return -1;
    }
    if (!open_first(argv[1])) {
        print_line("[error]:open serial port failed\r\n");
        return -1;
    }
    print_line("[info]:tervalo start...\r\n");

    // Static rather than on the stack: 64 KiB is a large share of a thread's stack on
    // some platforms, and the record lives as long as the process anyway.
    static Packet packet;
    for (;;) {
        reopen_if_lost(argv[1]);
        run_cycle(packet);
    }
}
