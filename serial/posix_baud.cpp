#include "serial/posix_baud.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

int set_other_baud(int fd, std::uint32_t baud) {
    termios2 line{};
    // Both return 0 on success, -1 on failure.
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return -1;
    }
    line.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    line.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    line.c_ispeed = baud;
    line.c_ospeed = baud;
    return ioctl(fd, TCSETS2, &line);
}

bool read_any_baud(int fd, std::uint32_t* baud) {
    termios2 line{};
    if (ioctl(fd, TCGETS2, &line) != 0) {
        return false;
    }
    *baud = line.c_ospeed;
    return true;
}
