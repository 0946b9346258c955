#include "serial/posix_tty.h"

#include <termios.h>

int set_raw_line(int fd) {
    termios line{};
    // Both return 0 on success, -1 on failure.
    if (tcgetattr(fd, &line) != 0) {
        return -1;
    }
    cfmakeraw(&line);
    cfsetispeed(&line, B921600);
    cfsetospeed(&line, B921600);
    // cfmakeraw leaves the stop bits and flow control as they were.
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    return tcsetattr(fd, TCSANOW, &line);
}
