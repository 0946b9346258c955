// The serial port on Linux: a tty opened non-blocking and exclusive, in raw mode.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <span>

#if defined(__linux__)
#include <linux/serial.h>
#endif

#include "serial/device_path.h"
#include "serial/posix_device.h"
#include "serial/posix_terminal.h"
#include "serial/posix_tty.h"
#include "serial/posix_write.h"
#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

std::intptr_t port_handle = PORT_CLOSED;
int port_lost_error = 0;

namespace {

int open_retrying(const char* path, int flags) {
    int fd = -1;
    do {
        fd = open(path, flags);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// What an open's errno says. EIO is what a /dev/ttyS<n> without a UART behind it gives.
open_failure failure_of_open(int error) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
        case ENXIO:
        case ENODEV:
        case EIO:
            return OPEN_NO_DEVICE;
        case EACCES:
        case EPERM:
            return OPEN_PERMISSION;
        case EBUSY:  // another holder set TIOCEXCL
            return OPEN_IN_USE;
        default:
            return OPEN_OTHER;
    }
}

// The last refusal for a holder, so that a port refused cycle after cycle is not looked
// for in every process each time (with many processes, a scan takes seconds): while the
// same holder still has the same device, the refusal stands; the whole scan runs again
// only when that holder has let go, when the refusal's reason changes, or after a minute.
struct held_refusal {
    open_failure failure = OPEN_OK;
    dev_t rdev = 0;
    port_holder holder{};
    std::int64_t scanned_ms = 0;
};
constexpr std::int64_t HOLDER_RESCAN_MS = 60'000;
held_refusal last_held;

std::intptr_t refuse(port_report* report, open_failure failure, int error) {
    if (failure != OPEN_TERMINAL_HELD && failure != OPEN_IN_USE) {
        last_held = {};  // the reason has changed
    }
    report->failure = failure;
    report->system_error = error;
    return PORT_CLOSED;
}

// Two locks, because each misses a case: TIOCEXCL does not stop root from opening the
// tty again, and flock binds only programs that ask for it. Returns 0 or an errno.
int make_exclusive(int fd) {
    int locked = -1;
    do {
        locked = flock(fd, LOCK_EX | LOCK_NB);
    } while (locked < 0 && errno == EINTR);
    if (locked < 0 || ioctl(fd, TIOCEXCL) != 0) {
        return errno;
    }
    return 0;
}

// Refusals are not reported here: the line is read back afterwards, and the port is
// used as it is.
void set_line(int fd, const line_state& wanted) {
    // The open has raised DTR and RTS, which resets a board with an auto-reset circuit;
    // they go down first, before the line settings cost a USB adapter more requests.
    // A pseudo-terminal has no modem lines; the error it gives is expected.
    int modem_lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &modem_lines);
    set_raw_line(fd, wanted);
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

// The errors of a device that has gone: a hung-up tty fails writes and most requests
// with EIO, and a pseudo-terminal whose far end closed fails reads with it too.
bool device_gone(int error) {
    return error == EIO || error == ENXIO || error == ENODEV;
}

// TIOCEXCL stays with the tty, not the descriptor: a pseudo-terminal whose master is
// still open would refuse every later opener but root. Both calls are async-signal-safe.
void clear_exclusive_and_close(int fd) {
    ioctl(fd, TIOCNXCL);
    close(fd);
}

// Closing at once releases the device's name: a re-plugged USB adapter gets its old
// name back only when nobody holds the old one.
void close_lost_port(int error) {
    drop_received();
    clear_exclusive_and_close(static_cast<int>(port_handle));
    port_handle = PORT_CLOSED;
    port_lost_error = error;
}

// The device as the user knows it: the target of a link such as `COM3 -> /dev/ttyUSB0`
// (as written in the link), or else the path itself. A device path the user typed is
// shown as typed, not as its link's relative target ("../../ttyUSB0").
void name_the_device(const std::array<char, DEVICE_PATH_SIZE>& device, port_route route,
                     std::array<char, DEVICE_PATH_SIZE>& named) {
    // readlink returns the target's length, without a terminating zero, or -1.
    const ssize_t length =
        route == ROUTE_DEVICE_PATH ? -1 : readlink(device.data(), named.data(), named.size() - 1);
    if (length > 0) {
        named[static_cast<std::size_t>(length)] = '\0';
    } else {
        named = device;
    }
}

// A user or group by name, or by number when the system has no name for it. Only a
// refused open asks, so the lookup's own needs do not weigh on the cycle.
void name_of_user(uid_t uid, std::span<char, 32> out) {
    passwd entry{};
    passwd* found = nullptr;
    std::array<char, 1024> room{};
    if (getpwuid_r(uid, &entry, room.data(), room.size(), &found) == 0 && found != nullptr) {
        std::snprintf(out.data(), out.size(), "%s", found->pw_name);
    } else {
        std::snprintf(out.data(), out.size(), "%u", static_cast<unsigned>(uid));
    }
}

void name_of_group(gid_t gid, std::span<char, 32> out) {
    group entry{};
    group* found = nullptr;
    std::array<char, 1024> room{};
    if (getgrgid_r(gid, &entry, room.data(), room.size(), &found) == 0 && found != nullptr) {
        std::snprintf(out.data(), out.size(), "%s", found->gr_name);
    } else {
        std::snprintf(out.data(), out.size(), "%u", static_cast<unsigned>(gid));
    }
}

void tell_owner(int place, device_owner* owner) {
    struct stat node {};
    if (fstat(place, &node) != 0) {
        return;
    }
    owner->known = true;
    name_of_user(node.st_uid, owner->user);
    name_of_group(node.st_gid, owner->group);
    owner->mode = node.st_mode & 07777U;
}

// The port must not take a standard descriptor left closed: whatever the tool prints
// there would go down the line. Returns fd or its copy from 3 up, or -1 with errno set.
int above_standard_descriptors(int fd) {
    if (fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    close(fd);
    errno = error;
    return moved;
}

// Opens the file checked at place for reading and writing. Through /proc/self/fd the
// open reaches the very file place pins, not whatever the path names by now, so the
// check cannot be raced apart from the open; unlike opening first and comparing after,
// nothing that failed the check has been opened at all.
int open_checked(int place) {
    std::array<char, 32> pinned{};
    std::snprintf(pinned.data(), pinned.size(), "/proc/self/fd/%d", place);
    return open_retrying(pinned.data(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

// Whether the device rdev is the system console or another process holds it; such a
// device is not opened, exclusive holder or not. The holders are looked for before the
// open, so a holder that hides its files from this user is caught by the open's EBUSY
// if it asked for exclusive use, and not at all otherwise.
open_failure find_holder(dev_t rdev, port_report* report) {
    if (find_console("/proc/consoles", rdev, &report->holder)) {
        return OPEN_TERMINAL_HELD;
    }
    const held_refusal before = last_held;
    last_held = {};
    const std::int64_t now = now_ms();
    if (before.failure != OPEN_OK && before.rdev == rdev &&
        now - before.scanned_ms < HOLDER_RESCAN_MS && still_holds("/proc", rdev, before.holder)) {
        report->holder = before.holder;
        last_held = before;
        return before.failure;
    }
    const std::array<dev_t, 1> device{rdev};
    std::array<device_holders, 1> found{};
    report->holders_hidden = find_holders("/proc", device, found) > 0;
    report->holder = found[0].holder;
    open_failure held = OPEN_OK;
    switch (report->holder.kind) {
        case HOLDER_SESSION:
            held = OPEN_TERMINAL_HELD;
            break;
        case HOLDER_OPENER:
            held = OPEN_IN_USE;
            break;
        default:
            return OPEN_OK;
    }
    last_held = {held, rdev, report->holder, now};
    return held;
}

}  // namespace

std::intptr_t open_port(const char* name, port_report* report, port_route route,
                        const line_state& wanted) {
    *report = port_report{};
    std::array<char, DEVICE_PATH_SIZE> device{};
    switch (posix_device_for(name, route, device, &report->route)) {
        case DEVICE_BAD_NAME:
            return refuse(report, OPEN_BAD_NAME, 0);
        case DEVICE_NOWHERE:
            report->path = device;
            return refuse(report, OPEN_NO_DEVICE, ENOENT);
        case DEVICE_FOUND:
            break;
    }
    name_the_device(device, report->route, report->path);
    // O_PATH reads nothing, writes nothing and starts no driver: the file is only pinned.
    const int place = open_retrying(device.data(), O_PATH | O_CLOEXEC);
    if (place < 0) {
        const int error = errno;
        return refuse(report, failure_of_open(error), error);
    }
    if (!is_terminal_device(place)) {
        close(place);
        return refuse(report, OPEN_NOT_SERIAL, ENOTTY);
    }
    struct stat node {};
    fstat(place, &node);
    if (const open_failure held = find_holder(node.st_rdev, report); held != OPEN_OK) {
        close(place);
        return refuse(report, held, EBUSY);
    }
    int fd = open_checked(place);
    if (fd >= 0) {
        fd = above_standard_descriptors(fd);
    }
    const int open_error = errno;
    if (fd < 0 && failure_of_open(open_error) == OPEN_PERMISSION) {
        tell_owner(place, &report->owner);
    }
    close(place);
    if (fd < 0) {
        return refuse(report, failure_of_open(open_error), open_error);
    }
    if (isatty(fd) == 0) {
        close(fd);
        return refuse(report, OPEN_NOT_SERIAL, ENOTTY);
    }
    if (const int error = make_exclusive(fd); error != 0) {
        close(fd);
        return refuse(report, error == EWOULDBLOCK || error == EBUSY ? OPEN_IN_USE : OPEN_OTHER,
                      error);
    }
    set_line(fd, wanted);
    ask_for_low_latency(fd);
    tcflush(fd, TCIOFLUSH);
    report->line_known = read_line(fd, &report->line);
    return fd;
}

std::size_t read_arrived(std::uint8_t* dst, std::size_t size) {
    // The port is non-blocking: read returns what has arrived, or -1 with EAGAIN.
    const ssize_t n = read(static_cast<int>(port_handle), dst, size);
    if (n > 0) {
        return static_cast<std::size_t>(n);
    }
    if (n < 0 && device_gone(errno)) {
        close_lost_port(errno);
    }
    return 0;
}

// Waits in poll, which does not read: a ready byte is left for read_arrived.
int wait_for_port(int ms, std::uint8_t*, std::size_t) {
    if (port_handle == PORT_CLOSED) {
        pause_ms(ms);
        return LINK_FAILED;
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
                return LINK_FAILED;
            }
            continue;
        }
        if (ready == 0) {
            return LINK_FAILED;
        }
        // Once the far end has gone (a pulled USB adapter, a closed pseudo-terminal) the
        // tty reports a hang-up, with POLLIN too, at once and forever, and delivers
        // nothing more: the port is lost. Pausing out the rest keeps a caller from
        // spinning through its attempts.
        if (ready > 0 && (readable.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            close_lost_port(EIO);
        }
        if (port_handle == PORT_CLOSED || ready < 0) {
            pause_ms(static_cast<int>(left));
            return LINK_FAILED;
        }
        return LINK_OK;
    }
}

void port_send(const std::uint8_t* bytes, std::size_t count) {
    if (port_handle == PORT_CLOSED) {
        return;
    }
    const int fd = static_cast<int>(port_handle);
    // What the tool has received and not read yet is pending input too.
    drop_received();
    if (tcflush(fd, TCIOFLUSH) != 0 && device_gone(errno)) {
        close_lost_port(errno);
        return;
    }
    const auto budget =
        static_cast<std::int64_t>(count) * WRITE_TIMEOUT_PER_BYTE_MS + WRITE_TIMEOUT_CONSTANT_MS;
    if (write_within(fd, bytes, count, now_ms() + budget) != LINK_OK && device_gone(errno)) {
        close_lost_port(errno);
    }
}

void release_port() {
    if (port_handle != PORT_CLOSED) {
        clear_exclusive_and_close(static_cast<int>(port_handle));
        port_handle = PORT_CLOSED;
    }
}
