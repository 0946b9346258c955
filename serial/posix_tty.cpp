// The line as a termios record, both ways: set from a wanted line, and read back.
#include "serial/posix_tty.h"

#include <termios.h>

#include <array>

#include "serial/posix_baud.h"

namespace {

struct speed_entry {
    speed_t code;
    std::uint32_t baud;
};

constexpr std::array<speed_entry, 30> SPEEDS{{
    {B0, 0},
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B4000000, 4000000},
}};

std::uint32_t baud_of(speed_t code) {
    for (const speed_entry& entry : SPEEDS) {
        if (entry.code == code) {
            return entry.baud;
        }
    }
    return 0;
}

char parity_of(tcflag_t cflag) {
    if ((cflag & PARENB) == 0) {
        return 'N';
    }
    if ((cflag & CMSPAR) != 0) {
        return (cflag & PARODD) != 0 ? 'M' : 'S';
    }
    return (cflag & PARODD) != 0 ? 'O' : 'E';
}

std::uint8_t data_bits_of(tcflag_t cflag) {
    switch (cflag & CSIZE) {
        case CS5:
            return 5;
        case CS6:
            return 6;
        case CS7:
            return 7;
        default:
            return 8;
    }
}

// The code of a baud rate; B0 (hang up) for a rate the table does not hold.
constexpr speed_t speed_of(std::uint32_t baud) {
    for (const speed_entry& entry : SPEEDS) {
        if (entry.baud == baud) {
            return entry.code;
        }
    }
    return B0;
}
static_assert(speed_of(WANTED_LINE.baud) != B0, "the line's baud rate has a termios code");

tcflag_t size_flag(std::uint8_t data_bits) {
    switch (data_bits) {
        case 5:
            return CS5;
        case 6:
            return CS6;
        case 7:
            return CS7;
        default:
            return CS8;
    }
}

tcflag_t parity_flags(char parity) {
    switch (parity) {
        case 'O':
            return PARENB | PARODD;
        case 'E':
            return PARENB;
        case 'M':
            return PARENB | CMSPAR | PARODD;
        case 'S':
            return PARENB | CMSPAR;
        default:
            return 0;
    }
}

}  // namespace

bool read_line(int fd, line_state* line) {
    termios held{};
    if (tcgetattr(fd, &held) != 0) {
        return false;
    }
    // The kernel's own record holds the rate to the baud: a rate without a code (BOTHER),
    // and the rate a driver rounded the one asked for to (923,077 for 921,600), show only
    // there.
    if (!read_any_baud(fd, &line->baud)) {
        line->baud = baud_of(cfgetospeed(&held));
    }
    line->data_bits = data_bits_of(held.c_cflag);
    line->parity = parity_of(held.c_cflag);
    line->stop_halves = (held.c_cflag & CSTOPB) != 0 ? 4 : 2;
    line->rts_cts = (held.c_cflag & CRTSCTS) != 0;
    line->xon_xoff = (held.c_iflag & (IXON | IXOFF)) != 0;
    return true;
}

int set_raw_line(int fd, const line_state& wanted) {
    termios line{};
    // Both return 0 on success, -1 on failure.
    if (tcgetattr(fd, &line) != 0) {
        return LINK_FAILED;
    }
    cfmakeraw(&line);
    // A rate without a code keeps the old speed here and gets its own below.
    const speed_t code = speed_of(wanted.baud);
    if (code != B0) {
        cfsetispeed(&line, code);
        cfsetospeed(&line, code);
    }
    // cfmakeraw leaves the stop bits and flow control as they were.
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    line.c_cflag |= size_flag(wanted.data_bits) | parity_flags(wanted.parity) | CREAD | CLOCAL;
    if (wanted.stop_halves == 4) {
        line.c_cflag |= CSTOPB;
    }
    if (wanted.rts_cts) {
        line.c_cflag |= CRTSCTS;
    }
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (wanted.xon_xoff) {
        line.c_iflag |= IXON | IXOFF;
    }
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &line) != 0) {
        return LINK_FAILED;
    }
    return code != B0 || set_other_baud(fd, wanted.baud) == 0 ? LINK_OK : LINK_FAILED;
}
