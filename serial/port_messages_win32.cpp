#include <windows.h>

#include <cstdio>
#include <cstring>

#include "serial/port_messages.h"

// The Linux build's names are told too: the same scripts and notes serve both.
const char* const PORT_NAME_HELP =
    "COM<n>, such as COM3 (on Linux COM<n> is a link of that name in the working directory, "
    "or else /dev/ttyS<n-1>)";

// Windows' messages end in a full stop and CR LF; a diagnostic line wants neither.
void system_error_text(int system_error, std::array<char, 256>& out) {
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(system_error), 0, out.data(),
                                        static_cast<DWORD>(out.size()), nullptr);
    if (length == 0) {
        std::snprintf(out.data(), out.size(), "Windows error %d", system_error);
        return;
    }
    std::size_t end = std::strlen(out.data());
    while (end > 0 && (out[end - 1] == '\r' || out[end - 1] == '\n' || out[end - 1] == ' ' ||
                       out[end - 1] == '.')) {
        --end;
    }
    out[end] = '\0';
}
