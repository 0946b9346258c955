// The serial port on Windows, through the kernel's communications functions.
#include <windows.h>

#include <array>

#include "console/wide_path_win32.h"
#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "timing/clock.h"
#include "timing/stop_request.h"

std::intptr_t port_handle = PORT_CLOSED;
int port_lost_error = 0;

namespace {

HANDLE as_handle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

BYTE parity_code(char parity) {
    switch (parity) {
        case 'O':
            return ODDPARITY;
        case 'E':
            return EVENPARITY;
        case 'M':
            return MARKPARITY;
        case 'S':
            return SPACEPARITY;
        default:
            return NOPARITY;
    }
}

BYTE stop_bits_code(std::uint8_t stop_halves) {
    return stop_halves == 4 ? TWOSTOPBITS : stop_halves == 3 ? ONE5STOPBITS : ONESTOPBIT;
}

// Windows refuses a DCB whose length field is unset or whose XON and XOFF characters
// are equal, even with software flow control off, so both are filled in. DTR stays off,
// and RTS too unless it does the handshake.
DCB line_settings(const line_state& line) {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = line.baud;
    dcb.fBinary = TRUE;
    dcb.fParity = line.parity != 'N';
    dcb.fOutxCtsFlow = line.rts_cts;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = line.xon_xoff;
    dcb.fInX = line.xon_xoff;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = line.rts_cts ? RTS_CONTROL_HANDSHAKE : RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = line.data_bits;
    dcb.Parity = parity_code(line.parity);
    dcb.StopBits = stop_bits_code(line.stop_halves);
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// The read time-outs decide what ReadFile does when nothing has arrived. With the
// interval at MAXDWORD and both read totals zero (wait_ms 0) it returns at once with
// whatever has arrived, possibly nothing. With the interval and the multiplier at
// MAXDWORD and the constant wait_ms, a read of one byte returns as soon as a byte is
// there, and with none after wait_ms: a wait in the kernel.
COMMTIMEOUTS time_outs(DWORD wait_ms) {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = wait_ms == 0 ? 0 : MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = wait_ms;
    timeouts.WriteTotalTimeoutMultiplier = static_cast<DWORD>(WRITE_TIMEOUT_PER_BYTE_MS);
    timeouts.WriteTotalTimeoutConstant = static_cast<DWORD>(WRITE_TIMEOUT_CONSTANT_MS);
    return timeouts;
}

// The read wait the driver holds, and for which handle, so that a wait of the same
// length as the last one costs no SetCommTimeouts. A port just opened returns at once.
struct read_wait {
    std::intptr_t handle;
    DWORD ms;
};
read_wait wait_held{PORT_CLOSED, 0};

// The read of a wait that has once come back early.
constexpr std::int64_t SHORT_READ_MS = 10;
// Windows' timer tick, by which a read's time-out may fall short.
constexpr std::int64_t TICK_MS = 16;

// What CreateFileW's failure says. A COM port that another program holds refuses with
// access denied (share mode 0 on both sides) or a sharing violation.
open_failure failure_of_open(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return OPEN_NO_DEVICE;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return OPEN_IN_USE;
        default:
            return OPEN_OTHER;
    }
}

std::intptr_t refuse(port_report* report, open_failure failure, DWORD error) {
    report->failure = failure;
    report->system_error = static_cast<int>(error);
    return PORT_CLOSED;
}

char parity_of(BYTE parity) {
    switch (parity) {
        case ODDPARITY:
            return 'O';
        case EVENPARITY:
            return 'E';
        case MARKPARITY:
            return 'M';
        case SPACEPARITY:
            return 'S';
        default:
            return 'N';
    }
}

// What the driver holds now: SetCommState's refusal leaves the old line in place, so
// only a read-back shows what was kept.
bool read_line(HANDLE handle, line_state* line) {
    DCB held{};
    held.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &held)) {
        return false;
    }
    line->baud = held.BaudRate;
    line->data_bits = held.ByteSize;
    line->parity = parity_of(held.Parity);
    line->stop_halves = held.StopBits == TWOSTOPBITS ? 4 : held.StopBits == ONE5STOPBITS ? 3 : 2;
    line->rts_cts = held.fOutxCtsFlow || held.fRtsControl == RTS_CONTROL_HANDSHAKE;
    line->xon_xoff = held.fOutX || held.fInX;
    return true;
}

// The errors a removed device gives to the calls that a live port can fail too (a
// setting refused, a write timed out). Drivers differ: USB adapters commonly fail with
// ERROR_BAD_COMMAND or ERROR_ACCESS_DENIED, others with ERROR_DEVICE_REMOVED or
// ERROR_GEN_FAILURE, and Wine, when the tty behind a COM port hangs up, with
// ERROR_NOT_READY. ERROR_OPERATION_ABORTED is not among them: it is what a transfer
// gets once abort-on-error has seen a line error (noise, a framing error), or when a
// purge cancels it; the device is still there (see clear_or_close).
bool device_gone(DWORD error) {
    switch (error) {
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_ACCESS_DENIED:
        case ERROR_INVALID_HANDLE:
        case ERROR_GEN_FAILURE:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

bool timed_out(DWORD error) {
    return error == ERROR_TIMEOUT || error == ERROR_SEM_TIMEOUT || error == WAIT_TIMEOUT;
}

// Closing at once releases the COM name for the device's return.
void close_lost_port(DWORD error) {
    drop_received();
    CloseHandle(as_handle(port_handle));
    port_handle = PORT_CLOSED;
    port_lost_error = error != 0 ? static_cast<int>(error) : ERROR_GEN_FAILURE;
    wait_held = {PORT_CLOSED, 0};
}

// An aborted transfer leaves the port refusing every transfer until its errors are
// cleared, which ClearCommError does; a device that has gone fails that too, and then
// the port is closed with the real cause. Some drivers end a pending read that way when
// their device is pulled, so the wait still ends at once.
void clear_or_close() {
    DWORD errors = 0;
    // Returns nonzero on success.
    if (ClearCommError(as_handle(port_handle), &errors, nullptr)) {
        return;
    }
    const DWORD error = GetLastError();
    if (!timed_out(error)) {
        close_lost_port(error);
    }
}

// A failed purge, time-out setting or write: only a removal error closes the port.
void transfer_failed(DWORD error) {
    if (error == ERROR_OPERATION_ABORTED) {
        clear_or_close();
    } else if (device_gone(error)) {
        close_lost_port(error);
    }
}

// A read, or asking what has arrived, fails on a live port only by a time-out or a line
// error: any other failure, whatever code the driver picked for it (ERROR_DEV_NOT_EXIST,
// ERROR_FILE_NOT_FOUND, ...), is the device gone, or a handle that can no longer deliver.
void read_failed(DWORD error) {
    if (error == ERROR_OPERATION_ABORTED) {
        clear_or_close();
    } else if (!timed_out(error)) {
        close_lost_port(error);
    }
}

// Sets the read wait to wait_ms unless the driver holds it already. Returns false when
// the driver refused it.
bool use_read_wait(DWORD wait_ms) {
    if (wait_held.handle == port_handle && wait_held.ms == wait_ms) {
        return true;
    }
    COMMTIMEOUTS timeouts = time_outs(wait_ms);
    if (!SetCommTimeouts(as_handle(port_handle), &timeouts)) {
        wait_held = {PORT_CLOSED, 0};
        transfer_failed(GetLastError());
        return false;
    }
    wait_held = {port_handle, wait_ms};
    return true;
}

}  // namespace

// A name has one way only here, the COM port Windows knows by it, so the route a reopen
// asks for is always the one the first open took.
std::intptr_t open_port(const char* name, port_report* report, port_route,
                        const line_state& wanted) {
    *report = port_report{};
    // An empty name would be taken as typed and then found missing; it is no name at all.
    if (device_path_for(name, report->path) != LINK_OK || report->path[0] == '\0') {
        report->path[0] = '\0';
        return refuse(report, OPEN_BAD_NAME, 0);
    }
    // Share mode 0: nobody else may open the port while it is ours.
    HANDLE handle =
        CreateFileW(wide_path(report->path.data()).text.data(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return refuse(report, failure_of_open(error), error);
    }
    // A name below COM10 is opened as typed, so "COM5\..\notes.txt" reaches an ordinary
    // file; greeting it would overwrite its first bytes. Only a communications device has
    // a line state to read. Returns nonzero on success.
    DCB current{};
    current.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &current)) {
        const DWORD error = GetLastError();
        CloseHandle(handle);
        return refuse(report, OPEN_NOT_SERIAL, error);
    }
    // A refusal shows in the line read back below; the port is used as it is.
    DCB dcb = line_settings(wanted);
    if (!SetCommState(handle, &dcb)) {
        // The old settings stay, and with them perhaps abort-on-error, which would make
        // every line error fail the transfers: that one is turned off on its own.
        current.fAbortOnError = FALSE;
        SetCommState(handle, &current);
    }
    COMMTIMEOUTS timeouts = time_outs(0);
    SetCommTimeouts(handle, &timeouts);
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    report->line_known = read_line(handle, &report->line);
    return reinterpret_cast<std::intptr_t>(handle);
}

// Asks the driver how much has arrived first, and reads just that: the read then
// returns at once whatever read time-outs are in force, so none need setting.
std::size_t read_arrived(std::uint8_t* dst, std::size_t size) {
    HANDLE handle = as_handle(port_handle);
    DWORD errors = 0;
    COMSTAT status{};
    // Both return nonzero on success.
    if (!ClearCommError(handle, &errors, &status)) {
        read_failed(GetLastError());
        return 0;
    }
    if (status.cbInQue == 0) {
        return 0;
    }
    const DWORD wanted = status.cbInQue < size ? status.cbInQue : static_cast<DWORD>(size);
    DWORD received = 0;
    if (!ReadFile(handle, dst, wanted, &received, nullptr)) {
        read_failed(GetLastError());
        return 0;
    }
    return received;
}

// Waits in ReadFile, with the read time-outs as the limit; the byte it returns is kept
// in the receive buffer. One byte, because ReadFile returns at the first byte only when
// that fills the request: Wine's serial reads otherwise go on until the time is up.
//
// A read that comes back empty before its time met time-outs other than those asked for
// (a tick early, a driver with ideas of its own, settings changed under it). The wait
// then goes on in short reads, each given at least its step, until the deadline: a byte
// that arrives meanwhile is taken within a step, and the loop never spins.
//
// A stop cancels the read (Windows ends a synchronous read so); where that does not take
// (Wine), a wait longer than STOP_LOOK_MS goes in reads of that length, and the stop is
// seen between them.
int wait_for_port(int ms, std::uint8_t* dst, std::size_t) {
    // A read wait of 0 would not wait at all.
    const std::int64_t deadline = now_ms() + (ms > 0 ? ms : 1);
    bool early = false;
    while (port_handle != PORT_CLOSED && !stop_requested()) {
        const std::int64_t asked_at = now_ms();
        const std::int64_t left = deadline - asked_at;
        if (left <= 0) {
            return LINK_FAILED;
        }
        const bool looked_into = !early && left > STOP_LOOK_MS;
        const std::int64_t step = early && left > SHORT_READ_MS ? SHORT_READ_MS
                                  : looked_into                 ? STOP_LOOK_MS
                                                                : left;
        if (!use_read_wait(static_cast<DWORD>(step))) {
            break;
        }
        enter_cancellable_wait();
        DWORD received = 0;
        const BOOL read =
            stop_requested() ? FALSE : ReadFile(as_handle(port_handle), dst, 1, &received, nullptr);
        const DWORD error = read ? 0 : GetLastError();
        leave_cancellable_wait();
        // A read that a stop cut short is no failure of the port.
        if (stop_requested()) {
            return LINK_FAILED;
        }
        if (!read) {
            read_failed(error);
        } else if (received > 0) {
            return 1;
        }
        if (early) {
            const std::int64_t rest_of_step = asked_at + step - now_ms();
            if (rest_of_step > 0 && pause_unless_stopped(static_cast<int>(rest_of_step))) {
                return LINK_FAILED;
            }
        }
        // A read cut into pieces that ran its time, within a tick, was not early.
        if (!looked_into || now_ms() - asked_at + TICK_MS < step) {
            early = true;
            wait_held = {PORT_CLOSED, 0};
        }
    }
    // Closed, stopped, or the wait refused: the rest is paused out, so a caller cannot spin.
    const std::int64_t left = deadline - now_ms();
    if (left > 0) {
        pause_unless_stopped(static_cast<int>(left));
    }
    return LINK_FAILED;
}

void port_send(const std::uint8_t* bytes, std::size_t count) {
    if (port_handle == PORT_CLOSED) {
        return;
    }
    HANDLE handle = as_handle(port_handle);
    // What the tool has received and not read yet is pending input too.
    drop_received();
    if (!PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        transfer_failed(GetLastError());
        if (port_handle == PORT_CLOSED) {
            return;
        }
    }
    // A short or failed write shows only as a missing response, unless the device has gone.
    DWORD written = 0;
    if (!WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr)) {
        transfer_failed(GetLastError());
    }
}

// Share mode 0 ends with the handle, which the system closes with the process; the stop
// handler runs on a thread of its own, and closing the handle under a read in progress
// would gain nothing.
void release_port() {}
