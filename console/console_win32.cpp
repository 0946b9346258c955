#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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
    static char buffer[LONGEST_LINE];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}
