// The Linux port list, read from sysfs. The roots are parameters so that a test can
// point the reader at a tree of its own.
#pragma once

#include "port_list/port_list.h"

struct sysfs_roots {
    const char* sysfs;     // "/sys"
    const char* dev;       // "/dev"
    const char* work_dir;  // where COM<n> links are looked for: "."
    const char* proc;      // who holds the ports, and the consoles: "/proc"
};

// Lists the ttyS ports that have a UART behind them and every ttyUSB and ttyACM port,
// each with the COM names that reach it in work_dir (or the command that makes one),
// sorted: ttyS, then ttyUSB, then ttyACM, each by number; then the COM links of work_dir
// that lead anywhere else (a pseudo-terminal, another terminal, nowhere) in the order of
// their numbers. Each with who holds it, if anyone. Nothing is opened.
void list_sysfs_ports(const sysfs_roots& roots, port_list& list);
