#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "console/console.h"

// The C runtime's text mode would turn every "\r\n" into "\r\r\n".
void prepare_console() {
    _setmode(_fileno(stdout), _O_BINARY);
    static char buffer[BUFSIZ];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}
