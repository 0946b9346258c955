// The serial port on Windows, through the kernel's communications functions.
#include <windows.h>

#include <array>

#include "serial/device_path.h"
#include "serial/port_backend.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

std::intptr_t port_handle = PORT_CLOSED;

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

}  // namespace

std::intptr_t open_port(const char* name) {
    std::array<char, DEVICE_PATH_SIZE> path{};
    if (device_path_for(name, path) != 0) {
        return PORT_CLOSED;
    }
    // Share mode 0: nobody else may open the port while it is ours.
    HANDLE handle = CreateFileA(path.data(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return PORT_CLOSED;
    }
    // A name below COM10 is opened as typed, so "COM5\..\notes.txt" reaches an ordinary
    // file; greeting it would overwrite its first bytes. Only a communications device has
    // a line state to read. Returns nonzero on success.
    DCB current{};
    current.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &current)) {
        CloseHandle(handle);
        return PORT_CLOSED;
    }
    // Refused settings are not reported: the port is used as it is.
    DCB dcb = line_settings();
    SetCommState(handle, &dcb);
    COMMTIMEOUTS timeouts = time_outs();
    SetCommTimeouts(handle, &timeouts);
    PurgeComm(handle, PURGE_TXCLEAR | PURGE_RXCLEAR);
    return reinterpret_cast<std::intptr_t>(handle);
}

int try_read_byte(std::uint8_t* dst) {
    DWORD received = 0;
    // ReadFile returns nonzero on success; with the time-outs set at open it returns at
    // once, with no byte when none has arrived.
    return ReadFile(as_handle(port_handle), dst, 1, &received, nullptr) && received > 0 ? 0 : -1;
}

// A non-overlapped handle offers no wait with a time limit, so this looks at the driver's
// input count between 1 ms pauses: on an idle line it costs what the plain pauses did,
// and it never reads, so a byte it sees is left for the caller.
bool wait_for_input(int ms) {
    const std::int64_t deadline = now_ms() + ms;
    for (;;) {
        DWORD errors = 0;
        COMSTAT status{};
        // Nonzero on success; fails once the device has gone, which leaves the pauses.
        if (port_handle != PORT_CLOSED &&
            ClearCommError(as_handle(port_handle), &errors, &status) && status.cbInQue > 0) {
            return true;
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
    PurgeComm(handle, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    // A short or failed write shows only as a missing response.
    DWORD written = 0;
    WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr);
}
