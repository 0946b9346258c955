#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "console/console.h"

// The C runtime's text mode would turn every "\r\n" into "\r\r\n". Standard error's
// lines end in "\n" alone, as on Linux.
void prepare_console() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    static char buffer[BUFSIZ];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}
