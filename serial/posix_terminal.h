// Which files the tool may open as its port on Linux, decided before anything is opened
// for reading or writing: opening a device can act on its own (a watchdog arms itself),
// and a terminal a session holds belongs to someone's shell or login prompt.
#pragma once

#include <sys/types.h>

#include <span>

#include "serial/serial_port.h"

// True when the file at place (opened with O_PATH, so nothing of it has run) is a
// terminal device: a pseudo-terminal on a devpts file system, or a character device
// whose kernel class is tty. The stand-ins that lead to some other terminal (/dev/tty,
// /dev/console, /dev/ptmx, /dev/tty0) are not.
bool is_terminal_device(int place);

// Finds a process whose controlling terminal is the device rdev (a shell, a getty);
// fills holder and returns true, or returns false when there is none. Reads /proc
// without the heap; processes that /proc hides from this user are not seen.
bool find_terminal_holder(dev_t rdev, terminal_holder* holder);

// Reads the process id, the command name and the controlling terminal (tty_nr, as the
// kernel encodes it) from the text of /proc/<pid>/stat. False when the text is not of
// that form; command is cut to fit.
bool parse_process_stat(const char* text, int* pid, unsigned* tty_nr, std::span<char> command);

// True when tty_nr, as /proc/<pid>/stat encodes a device, is rdev.
bool is_same_terminal(unsigned tty_nr, dev_t rdev);
