// Baud rates that have no termios code, through Linux's termios2 and BOTHER. Apart from
// posix_tty.cpp because the kernel's termios header and the C library's cannot be
// included in one file.
#pragma once

#include <cstdint>

// Sets the input and output speed of the terminal fd to baud, as a rate of its own.
// Returns 0, or -1 with errno set.
int set_other_baud(int fd, std::uint32_t baud);

// Reads the output speed of the terminal fd as the kernel holds it, whatever the rate.
// Returns false when the terminal refused to be read (errno tells why).
bool read_any_baud(int fd, std::uint32_t* baud);
