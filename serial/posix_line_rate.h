// The rate a tty's driver holds, to the baud.
#pragma once

#include <cstdint>

// The output rate as the driver set it (termios2), or 0 when it cannot be read. A driver
// that rounds the rate asked for to one its chip makes (923,077 baud for 921,600) says
// so only here: the classic termios record names the nearest standard rate.
std::uint32_t exact_line_rate(int fd);
