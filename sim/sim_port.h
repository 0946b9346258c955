// The simulator's end of the line: a pseudo-terminal reached through a symlink in the
// working directory, or an existing serial port.
#pragma once

#include <string>

struct pty_link {
    int device = -1;    // the device end, read and written by the simulator
    int terminal = -1;  // the end tervalo opens, held so that it keeps its settings
    std::string terminal_path;
};

// Opens a pseudo-terminal in raw mode at 921,600 baud and links name in the working
// directory to its terminal end. An existing entry of that name is an error, unless
// replace is set and it is a symlink. Returns an empty string, or a one-line reason
// with nothing left behind.
std::string create_pty_link(const std::string& name, bool replace, pty_link& link);

// Arranges for SIGINT, SIGTERM and SIGHUP to remove the link name (an empty name:
// nothing) and end the process with status 0.
void remove_link_on_signal(const std::string& name);

// tervalo sets exclusive use on the terminal when it opens it, and the flag outlives
// it while the simulator holds the terminal open, which would keep anyone but root
// from running tervalo a second time. Clears the flag when no tervalo holds the port.
void release_exclusive_if_unused(const pty_link& link);
