// The serial port on Windows, through the kernel's communications functions.
#include <windows.h>

#include <array>

#include "serial/port_backend.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

std::intptr_t port_handle = PORT_CLOSED;
int port_lost_error = 0;

namespace {

HANDLE as_handle(std::intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

// Windows refuses a DCB whose length field is unset or whose XON and XOFF characters
// are equal, even with software flow control off, so both are filled in.
DCB line_settings() {
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 921600;
    dcb.fBinary = TRUE;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fTXContinueOnXoff = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    dcb.fErrorChar = FALSE;
    dcb.fNull = FALSE;
    dcb.fRtsControl = RTS_CONTROL_DISABLE;
    dcb.fAbortOnError = FALSE;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

// With the interval at MAXDWORD and both read totals zero, ReadFile returns at once
// with whatever has arrived, possibly nothing.
COMMTIMEOUTS time_outs() {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = 0;
    timeouts.ReadTotalTimeoutConstant = 0;
    timeouts.WriteTotalTimeoutMultiplier = 100;
    timeouts.WriteTotalTimeoutConstant = 500;
    return timeouts;
}

// What CreateFileA's failure says. A COM port that another program holds refuses with
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

// The errors a removed device gives. Drivers differ: USB adapters commonly fail with
// ERROR_BAD_COMMAND or ERROR_ACCESS_DENIED, others with ERROR_DEVICE_REMOVED or
// ERROR_GEN_FAILURE, and Wine, when the tty behind a COM port hangs up, with
// ERROR_NOT_READY.
bool device_gone(DWORD error) {
    switch (error) {
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_REMOVED:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_ACCESS_DENIED:
        case ERROR_OPERATION_ABORTED:
        case ERROR_INVALID_HANDLE:
        case ERROR_GEN_FAILURE:
        case ERROR_NOT_READY:
            return true;
        default:
            return false;
    }
}

// Closing at once releases the COM name for the device's return.
void close_if_gone(DWORD error) {
    if (!device_gone(error)) {
        return;
    }
    CloseHandle(as_handle(port_handle));
    port_handle = PORT_CLOSED;
    port_lost_error = static_cast<int>(error);
}

}  // namespace

// A name has one way only here, the COM port Windows knows by it, so the route a reopen
// asks for is always the one the first open took.
std::intptr_t open_port(const char* name, port_report* report, port_route) {
    *report = port_report{};
    // An empty name would be taken as typed and then found missing; it is no name at all.
    if (device_path_for(name, report->path) != 0 || report->path[0] == '\0') {
        report->path[0] = '\0';
        return refuse(report, OPEN_BAD_NAME, 0);
    }
    // Share mode 0: nobody else may open the port while it is ours.
    HANDLE handle = CreateFileA(report->path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
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
    DCB dcb = line_settings();
    SetCommState(handle, &dcb);
    COMMTIMEOUTS timeouts = time_outs();
    SetCommTimeouts(handle, &timeouts);
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    report->line_known = read_line(handle, &report->line);
    return reinterpret_cast<std::intptr_t>(handle);
}

int try_read_byte(std::uint8_t* dst) {
    DWORD received = 0;
    // ReadFile returns nonzero on success; with the time-outs set at open it returns at
    // once, with no byte when none has arrived.
    if (ReadFile(as_handle(port_handle), dst, 1, &received, nullptr)) {
        return received > 0 ? 0 : -1;
    }
    close_if_gone(GetLastError());
    return -1;
}

// A non-overlapped handle offers no wait with a time limit, so this looks at the driver's
// input count between 1 ms pauses: on an idle line it costs what the plain pauses did,
// and it never reads, so a byte it sees is left for the caller.
bool wait_for_input(int ms) {
    const std::int64_t deadline = now_ms() + ms;
    for (;;) {
        if (port_handle == PORT_CLOSED) {
            const std::int64_t left = deadline - now_ms();
            pause_ms(left > 1 ? static_cast<int>(left) : 1);
            return false;
        }
        DWORD errors = 0;
        COMSTAT status{};
        // Nonzero on success; fails once the device has gone.
        if (ClearCommError(as_handle(port_handle), &errors, &status)) {
            if (status.cbInQue > 0) {
                return true;
            }
        } else {
            close_if_gone(GetLastError());
        }
        // Paused before the deadline is tested, so that a 1 ms wait always sleeps once,
        // as the plain pause did.
        pause_ms(1);
        if (now_ms() >= deadline) {
            return false;
        }
    }
}

void port_send(const std::uint8_t* bytes, std::size_t count) {
    if (port_handle == PORT_CLOSED) {
        return;
    }
    HANDLE handle = as_handle(port_handle);
    if (!PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        close_if_gone(GetLastError());
        if (port_handle == PORT_CLOSED) {
            return;
        }
    }
    // A short or failed write shows only as a missing response, unless the device has gone.
    DWORD written = 0;
    if (!WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr)) {
        close_if_gone(GetLastError());
    }
}
