#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "console/console.h"

// The C runtime's text mode would turn every "\r\n" into "\r\r\n". Standard error's
// lines end in "\n" alone, as on Linux. The port is a handle, never a C descriptor, so
// a missing standard stream cannot be taken by it; writing to one fails, and
// print_line reports that.
void prepare_console(const char* program) {
    name_console_program(program);
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    static char buffer[BUFSIZ];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}
