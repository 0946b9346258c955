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

// Arranges for SIGINT, SIGTERM and SIGHUP to end the process with status 0, after
// remove_own_link. name is the link made for terminal_path; an empty name: none.
void remove_link_on_signal(const std::string& name, const std::string& terminal_path);

// Removes the link given to remove_link_on_signal if it still leads to our terminal: a
// later run with --replace may have taken the name, and then the link is that run's.
// Safe in a signal handler.
void remove_own_link();

// tervalo sets exclusive use on the terminal when it opens it, and the flag outlives it
// while the simulator holds the terminal open, which would keep anyone but root from
// starting tervalo again right after it stopped. Clearing it while tervalo runs is safe:
// tervalo's flock still keeps a second instance out.
void clear_exclusive(const pty_link& link);
