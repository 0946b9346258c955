#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "console/console.h"

namespace {

// Opens /dev/null as fd, which must be the lowest closed descriptor. Returns false when
// fd was open already.
bool fill_if_closed(int fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) {
        return false;
    }
    // open returns the lowest free descriptor, and every lower one is open by now. If
    // /dev/null is missing there is nothing better to hold the place with.
    const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
        dup2(opened, fd);
        close(opened);
    }
    return true;
}

}  // namespace

void prepare_console(const char* program) {
    name_console_program(program);
    // In this order, so that each is the lowest one that can be closed.
    fill_if_closed(STDIN_FILENO);
    const bool output_closed = fill_if_closed(STDOUT_FILENO);
    fill_if_closed(STDERR_FILENO);
    // Reported once standard error is known to lead somewhere.
    if (output_closed) {
        note_output_failure(EBADF);
    }
    // A buffer of our own, so the C library has no reason to allocate one at the first line.
    static char buffer[BUFSIZ];
    std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
}
