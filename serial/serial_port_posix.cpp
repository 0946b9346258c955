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
#include "serial/port_backend.h"
#include "serial/posix_device.h"
#include "serial/posix_tty.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

std::intptr_t port_handle = PORT_CLOSED;

namespace {

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
    set_raw_line(fd);
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

int try_read_byte(std::uint8_t* dst) {
    return read(static_cast<int>(port_handle), dst, 1) == 1 ? 0 : -1;
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
