// A file of its own: the kernel's termios2 record and the C library's termios cannot
// be declared in one translation unit.
#include "serial/posix_line_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

std::uint32_t exact_line_rate(int fd) {
    termios2 line{};
    // Returns 0 on success, -1 on failure.
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return 0;
    }
    return line.c_ospeed;
}
