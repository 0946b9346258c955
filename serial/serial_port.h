// The one serial port of the process. Each platform has its own backend file; the
// build picks one, and tests link a scripted port in its place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "link/link_result.h"
#include "serial/device_path.h"

// The invalid value of port_handle: before open_port has succeeded, and after the
// port's device has gone.
inline constexpr std::intptr_t PORT_CLOSED = -1;

// The open port, wide enough for the platform's handle. Set by the entry point from
// open_port's result (even a failed one); every transfer checks it first. A transfer
// that finds the device gone closes the port and sets it to PORT_CLOSED.
extern std::intptr_t port_handle;

// Why the port was closed under the program: the system's error code (errno, or
// GetLastError() on Windows), never 0, set together with port_handle = PORT_CLOSED when
// a transfer or wait finds the device gone (unplugged, powered off, hung up). Stays set
// until the caller has reported it and set it back to 0.
extern int port_lost_error;

enum open_failure : int {
    OPEN_OK = 0,
    OPEN_BAD_NAME,       // not a port name (COM<n>; on Linux also a device path), or too long
    OPEN_NO_DEVICE,      // nothing at the path, or no hardware behind it
    OPEN_PERMISSION,     // the user may not open the device
    OPEN_IN_USE,         // another program holds it (report.holder names it where known)
    OPEN_NOT_SERIAL,     // something that is not a serial device
    OPEN_TERMINAL_HELD,  // the terminal of a session (a shell, a login prompt) or the system
                         // console: never opened
    OPEN_OTHER,          // any other reason; system_error tells
};

// Who else has a device. Found on Linux only; on Windows the kind stays HOLDER_NONE.
enum holder_kind : int {
    HOLDER_NONE = 0,
    HOLDER_SESSION,  // a process whose controlling terminal it is: a shell, a login prompt
    HOLDER_OPENER,   // a process that has it open
    HOLDER_CONSOLE,  // the kernel: it is the system console
};
struct port_holder {
    holder_kind kind;
    int pid;                       // of a session or an opener
    std::array<char, 64> command;  // its command name as the system shows it; for the
                                   // console, the console's name ("ttyS0")
};

// Who owns the device and who may open it, for a refused permission.
struct device_owner {
    bool known;
    std::array<char, 32> user;   // the owner's name, or its number when it has none
    std::array<char, 32> group;  // likewise for the group
    unsigned mode;               // the permission bits
};

// A line as the driver holds it, read back after open_port has set it.
struct line_state {
    std::uint32_t baud;
    std::uint8_t data_bits;
    char parity;               // 'N', 'O', 'E', 'M' (mark) or 'S' (space)
    std::uint8_t stop_halves;  // stop bits times two: 2, 3 (1.5, Windows only) or 4
    bool rts_cts;              // hardware flow control
    bool xon_xoff;             // software flow control
};

// The line the tool asks for by default: 921,600 baud, 8N1, no flow control. Both
// backends set the line from such a record, and the read-back is compared with it.
inline constexpr line_state WANTED_LINE{921600, 8, 'N', 2, false, false};

// How far, in thousandths, a rate the driver kept may lie from the one asked for and
// still count as it: a UART samples each bit mid-way and takes about 2 % off on each side
// of a link, so a chip that makes 923,077 baud for 921,600 (0.16 %) is not worth a word.
inline constexpr std::uint32_t RATE_TOLERANCE_PER_MILLE = 20;

// The wanted line at another speed (-b).
constexpr line_state line_at(std::uint32_t baud) {
    line_state line = WANTED_LINE;
    line.baud = baud;
    return line;
}

// How long port_send may take to write count bytes: WRITE_TIMEOUT_PER_BYTE_MS a byte
// plus WRITE_TIMEOUT_CONSTANT_MS: far more than the line needs, so that only a stalled
// driver runs into it.
inline constexpr int WRITE_TIMEOUT_PER_BYTE_MS = 100;
inline constexpr int WRITE_TIMEOUT_CONSTANT_MS = 500;

// What open_port found, for the caller to report.
struct port_report {
    open_failure failure;
    int system_error;  // errno, or GetLastError() on Windows, of the step that failed; or 0
    std::array<char, DEVICE_PATH_SIZE> path;  // the device path tried; empty for a bad name
    port_route route;                         // the way the name went (ROUTE_ANY on Windows)
    port_holder holder;                       // for OPEN_TERMINAL_HELD and OPEN_IN_USE
    bool holders_hidden;  // for OPEN_IN_USE: /proc hid some processes' files from this user
    device_owner owner;   // for OPEN_PERMISSION, where known
    bool line_known;      // on success: line holds what the driver kept
    line_state line;
};

// Opens the port named name exclusively and sets it to wanted, reads that return at
// once; discards anything pending; reads the line back. Any baud rate may be asked for:
// the standard ones by their codes, others (on Linux) as a rate of its own; whether the
// driver makes it shows in the read-back.
// The name is COM<n>, or on Linux also a device's absolute path; route limits the ways
// it may go to the one a first open took (report.route), so that a reopen finds the
// same device or none. Only a terminal device that is not the system console and that
// no other process holds is opened (the process on a pseudo-terminal's far end is the
// device, not a holder), and the handle is never a standard descriptor (0 to 2). Returns the handle
// (never negative), or PORT_CLOSED. Fills report either way; prints nothing, and does not store the
// handle in port_handle.
std::intptr_t open_port(const char* name, port_report* report, port_route route = ROUTE_ANY,
                        const line_state& wanted = WANTED_LINE);

// Reads one byte into dst. Tries twice, pausing about 1 ms after each empty try (on a
// line slower than 160,000 baud, 16 character times: see set_read_speed); a pause ends
// early when a byte arrives, and that byte is left for the next try.
// Returns LINK_OK when a byte was stored, LINK_FAILED when none arrived or the port is
// closed.
int read_byte(std::uint8_t* dst);

// The line's speed, which read_byte's pauses follow below 160,000 baud so that the gap
// tolerated inside a frame grows with the character time. 921,600 until told otherwise.
void set_read_speed(std::uint32_t baud);

// When the line went quiet: the time (now_ms) at which the last call of read_byte found
// nothing at its first try. After a failed read_byte, the time of the byte before it.
std::int64_t quiet_since_ms();

// Waits up to ms milliseconds for the port to have a byte to read (a byte received but
// not yet handed out by read_byte counts). Returns true as soon as it has, false when
// the time ran out. A port that can deliver nothing (closed,
// or its device gone) is never reported ready: the call then just pauses for ms, so a
// caller looping on it cannot spin.
bool wait_for_input(int ms);

// Discards all pending input (received bytes not yet handed out by read_byte too) and
// output, then writes count bytes in one go, giving
// up after the write time-out. Failures are not reported, but a device found
// gone closes the port. Does nothing while the port is closed.
void port_send(const std::uint8_t* bytes, std::size_t count);

// The run is over: gives up the port's exclusive use, so that the next program that opens
// it is not refused as if someone still held it (on Linux TIOCEXCL outlives the
// descriptor on a pseudo-terminal whose master stays open), then closes it. Calls
// nothing a signal handler may not call.
void release_port();
