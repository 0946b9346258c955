#include <cstdio>

#include "console/console.h"

// A buffer of our own, so the C library has no reason to allocate one at the first line.
void prepare_console() {
    static char buffer[BUFSIZ];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}
