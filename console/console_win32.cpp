#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "console/console.h"
#include "link/link_protocol.h"
#include "link/output_lines.h"

namespace {

// The longest line print_line prints: a prefix and a response of the largest payload.
// The C runtime writes out its buffer whenever it fills, so a line that fits in it goes
// out with the one write of the flush, never in pieces a pipe's reader (or a summary
// written at Ctrl-C) could come between.
constexpr std::size_t LONGEST_LINE = LINE_PREFIX_MAX + sizeof RESPONSE_FORMAT + PAYLOAD_MAX;

// The C runtime knows no errno for a pipe whose reader has gone (ERROR_NO_DATA, or under
// Wine ERROR_PIPE_NOT_CONNECTED) and says "Invalid argument"; the system's own code, kept
// in _doserrno, tells it apart.
int write_error_of(int c_error) {
    const bool reader_gone = _doserrno == ERROR_NO_DATA || _doserrno == ERROR_BROKEN_PIPE ||
                             _doserrno == ERROR_PIPE_NOT_CONNECTED;
    return c_error == EINVAL && reader_gone ? EPIPE : c_error;
}

// Standard error's text is in the process's ANSI code page (UTF-8, by the manifest),
// which a console keeping its OEM code page shows garbled. On a console the C runtime's
// descriptor 2 therefore writes into a pipe instead, and this thread hands each piece to
// the console as UTF-16. The stop summary, plain ASCII, still goes straight to the
// console's handle. A file or pipe gets the bytes as they are.
struct console_relay {
    HANDLE console = INVALID_HANDLE_VALUE;
    HANDLE from_pipe = INVALID_HANDLE_VALUE;
    HANDLE thread = nullptr;
};
console_relay relay;
constexpr DWORD RELAY_PIPE_SIZE = 65536;
constexpr DWORD RELAY_DRAIN_MS = 1000;

// Bytes at the end of text that begin a UTF-8 sequence the next read completes.
DWORD incomplete_tail(const char* text, DWORD size) {
    for (DWORD back = 1; back <= 3 && back <= size; ++back) {
        const auto byte = static_cast<unsigned char>(text[size - back]);
        if ((byte & 0xC0) != 0x80) {
            const DWORD needs = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return needs > back ? back : 0;
        }
    }
    return 0;
}

DWORD WINAPI relay_to_console(void*) {
    static char bytes[4096];
    static wchar_t wide[4096];
    const UINT code_page = GetACP();
    DWORD kept = 0;
    DWORD got = 0;
    // ReadFile returns FALSE once every writer has closed the pipe.
    while (ReadFile(relay.from_pipe, bytes + kept, sizeof bytes - kept, &got, nullptr) != 0) {
        const DWORD size = kept + got;
        const DWORD whole = size - (code_page == CP_UTF8 ? incomplete_tail(bytes, size) : 0);
        const int count = MultiByteToWideChar(code_page, 0, bytes, static_cast<int>(whole), wide,
                                              static_cast<int>(std::size(wide)));
        DWORD written = 0;
        WriteConsoleW(relay.console, wide, static_cast<DWORD>(count), &written, nullptr);
        kept = size - whole;
        std::memmove(bytes, bytes + whole, kept);
    }
    return 0;
}

// At exit: what is still in the pipe reaches the console before the process ends.
void drain_relay() {
    std::fflush(stderr);
    _close(_fileno(stderr));
    SetStdHandle(STD_ERROR_HANDLE, relay.console);
    WaitForSingleObject(relay.thread, RELAY_DRAIN_MS);
}

void relay_errors_if_console() {
    const HANDLE process = GetCurrentProcess();
    DWORD mode = 0;
    HANDLE to_pipe = INVALID_HANDLE_VALUE;
    // GetConsoleMode succeeds on a console only; each returns nonzero upon success. A
    // handle of our own, because putting the pipe in as descriptor 2 closes the one it
    // held.
    if (GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) == 0 ||
        DuplicateHandle(process, GetStdHandle(STD_ERROR_HANDLE), process, &relay.console, 0, FALSE,
                        DUPLICATE_SAME_ACCESS) == 0 ||
        CreatePipe(&relay.from_pipe, &to_pipe, nullptr, RELAY_PIPE_SIZE) == 0) {
        return;
    }
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(to_pipe), _O_BINARY);
    relay.thread = CreateThread(nullptr, 0, relay_to_console, nullptr, 0, nullptr);
    // A half-made relay only idles, and the console is written as it was.
    if (descriptor < 0 || relay.thread == nullptr || _dup2(descriptor, _fileno(stderr)) != 0) {
        return;
    }
    _close(descriptor);
    // The C runtime made the pipe the standard handle too; the stop summary, written
    // from a handler that the process may not outlive, goes straight to the console.
    SetStdHandle(STD_ERROR_HANDLE, relay.console);
    std::atexit(drain_relay);
}

// The tool's own text to a console (print_text), as UTF-16: the console shows the bytes
// of standard output in its own code page, which garbles names outside ASCII.
bool write_own_text(const char* utf8, std::size_t size) {
    static std::array<wchar_t, 16384> wide;
    const int count = MultiByteToWideChar(CP_UTF8, 0, utf8, static_cast<int>(size), wide.data(),
                                          static_cast<int>(wide.size()));
    DWORD written = 0;
    return count > 0 && WriteConsoleW(GetStdHandle(STD_OUTPUT_HANDLE), wide.data(),
                                      static_cast<DWORD>(count), &written, nullptr) != 0;
}

}  // namespace

// The C runtime's text mode would turn every "\r\n" into "\r\r\n". Standard error's
// lines end in "\n" alone, as on Linux. The port is a handle, never a C descriptor, so
// a missing standard stream cannot be taken by it; writing to one fails, and
// print_line reports that.
void prepare_console(const char* program) {
    name_console_program(program);
    name_write_errors(write_error_of);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    relay_errors_if_console();
    if (DWORD mode = 0; GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0) {
        write_own_text_with(write_own_text);
    }
    static char buffer[LONGEST_LINE];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}
