// The serial port on Linux: a tty opened non-blocking and exclusive, in raw mode.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "serial/device_path.h"
#include "serial/posix_device.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

std::intptr_t port_handle = PORT_CLOSED;

namespace {

constexpr int READ_PAUSE_MS = 1;
constexpr int WRITE_TIMEOUT_PER_BYTE_MS = 100;
constexpr int WRITE_TIMEOUT_CONSTANT_MS = 500;

int open_retrying(const char* path, int flags) {
    int fd = -1;
    do {
        fd = open(path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Two locks, because each misses a case: TIOCEXCL does not stop root from opening the
// tty again, and flock binds only programs that ask for it.
bool make_exclusive(int fd) {
    int locked = -1;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0) {
        return false;
    }
    return ioctl(fd, TIOCEXCL) == 0;
}

// Refusals are not reported, as on Windows: the port is used as it is.
void set_line(int fd) {
    termios line{};
    if (tcgetattr(fd, &line) != 0) {
        return;
    }
    cfmakeraw(&line);
    cfsetispeed(&line, B921600);
    cfsetospeed(&line, B921600);
    line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
    line.c_cflag |= CS8 | CREAD | CLOCAL;
    line.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    line.c_cc[VMIN] = 0;
    line.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &line);

    // A pseudo-terminal has no modem lines; the error it gives is expected.
    int modem_lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &modem_lines);
}

// USB adapters of the common FTDI kind hold received bytes for a 16 ms latency timer
// unless told otherwise; the reader tolerates gaps of about 2 ms inside a frame, so
// without this the tail of a long frame would arrive too late. Not every driver
// knows the request; its refusal is harmless.
void ask_for_low_latency(int fd) {
#if defined(TIOCGSERIAL) && defined(ASYNC_LOW_LATENCY)
    serial_struct serial{};
    if (ioctl(fd, TIOCGSERIAL, &serial) == 0) {
        serial.flags |= static_cast<int>(ASYNC_LOW_LATENCY);
        ioctl(fd, TIOCSSERIAL, &serial);
    }
#else
    (void)fd;
#endif
}

// Writes all of bytes unless the deadline passes first; the port is non-blocking, so
// poll does the waiting.
void write_within(int fd, const std::uint8_t* bytes, std::size_t count, std::int64_t deadline) {
    std::size_t written = 0;
    while (written < count) {
        const ssize_t n = write(fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return;
        }
        const std::int64_t left = deadline - now_ms();
        if (left <= 0) {
            return;
        }
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            return;
        }
    }
}

}  // namespace

std::intptr_t open_port(const char* name) {
    std::array<char, DEVICE_PATH_SIZE> path{};
    std::array<char, DEVICE_PATH_SIZE> device{};
    if (device_path_for(name, path) != 0 || posix_device_for(path.data(), device) != 0) {
        return PORT_CLOSED;
    }
    const int fd = open_retrying(device.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return PORT_CLOSED;
    }
    if (isatty(fd) == 0 || !make_exclusive(fd)) {
        close(fd);
        return PORT_CLOSED;
    }
    set_line(fd);
    ask_for_low_latency(fd);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

int read_byte(std::uint8_t* dst) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (port_handle != PORT_CLOSED && read(static_cast<int>(port_handle), dst, 1) == 1) {
            return 0;
        }
        wait_for_input(READ_PAUSE_MS);
    }
    return -1;
}

bool wait_for_input(int ms) {
    if (port_handle == PORT_CLOSED) {
        pause_ms(ms);
        return false;
    }
    // The first wait is the full ms, never shortened by the clock's millisecond steps, so
    // a 1 ms pause is at least as long as the sleep it replaces.
    const std::int64_t deadline = now_ms() + ms;
    std::int64_t left = ms;
    for (;;) {
        pollfd readable{static_cast<int>(port_handle), POLLIN, 0};
        // Returns the number of ready descriptors, 0 on time-out, -1 with errno set.
        const int ready = poll(&readable, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            left = deadline - now_ms();
            if (left <= 0) {
                return false;
            }
            continue;
        }
        if (ready == 0) {
            return false;
        }
        // Once the far end has gone (a pulled USB adapter, a closed pseudo-terminal) the
        // tty reports a hang-up, with POLLIN too, at once and forever; reads then return
        // nothing. Pausing out the rest keeps a caller from spinning through its attempts.
        if (ready < 0 || (readable.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            pause_ms(static_cast<int>(left));
            return false;
        }
        return true;
    }
}

void port_send(const std::uint8_t* bytes, std::size_t count) {
    if (port_handle == PORT_CLOSED) {
        return;
    }
    const int fd = static_cast<int>(port_handle);
    tcflush(fd, TCIOFLUSH);
    const auto budget =
        static_cast<std::int64_t>(count) * WRITE_TIMEOUT_PER_BYTE_MS + WRITE_TIMEOUT_CONSTANT_MS;
    write_within(fd, bytes, count, now_ms() + budget);
}
