// Terminal chores shared by the tool's Linux backend, the simulator and the test harness,
// so that a line is made raw the same way everywhere.
#pragma once

#include "serial/serial_port.h"

// Sets the terminal fd to wanted (the tool's line, WANTED_LINE, unless told otherwise): raw (no
// echo, no signals, no translation), receiver on, modem status ignored, and reads that
// return at once. A baud rate without a termios code is set as a rate of its own.
// Returns LINK_OK, or LINK_FAILED when the terminal refused to be read or set (errno
// tells why).
int set_raw_line(int fd, const line_state& wanted = WANTED_LINE);

// Reads into line what the terminal fd holds. tcsetattr succeeds when any one change
// took, so only a read-back shows what was refused. Returns false when the terminal
// refused to be read (errno tells why).
bool read_line(int fd, line_state* line);
