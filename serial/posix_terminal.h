// Which files the tool may open as its port on Linux, decided before anything is opened
// for reading or writing: opening a device can act on its own (a watchdog arms itself),
// and a terminal a session holds belongs to someone's shell or login prompt.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <span>

#include "serial/serial_port.h"

// True when the file at place (opened with O_PATH, so nothing of it has run) is a
// terminal device: a pseudo-terminal on a devpts file system, or a character device
// whose kernel class is tty. The stand-ins that lead to some other terminal (/dev/tty,
// /dev/console, /dev/ptmx, /dev/tty0) are not.
bool is_terminal_device(int place);

// Who has one device, as /proc shows it.
struct device_holders {
    port_holder holder;   // a session before an opener; HOLDER_NONE when there is neither
    port_holder far_end;  // for a pseudo-terminal, the process that holds its master
};

// The most devices one find_holders call takes.
inline constexpr std::size_t HOLDERS_AT_ONCE = 64;

// Fills found[i] with who holds the character device devices[i], in one pass over the
// processes under proc_root ("/proc"), without the heap; found is as long as devices.
// This process is never a holder, nor is one that has the device open and also holds
// its pseudo-terminal master: that is the device. A session whose controlling terminal
// it is holds it whatever else the session has open. Returns how many processes /proc listed
// but hid the open files of: for anyone but root, every other user's. Under hidepid
// /proc hides those processes whole, and they go uncounted.
std::size_t find_holders(const char* proc_root, std::span<const dev_t> devices,
                         std::span<device_holders> found);

// True when the process holder names (a session or an opener that find_holders found)
// still holds the character device rdev as it did: one process looked at, not all.
bool still_holds(const char* proc_root, dev_t rdev, const port_holder& holder);

// True, with the console's name in holder, when rdev is one of the system consoles that
// consoles_path ("/proc/consoles") lists.
bool find_console(const char* consoles_path, dev_t rdev, port_holder* holder);

// Reads the process id, the command name and the controlling terminal (tty_nr, as the
// kernel encodes it) from the text of /proc/<pid>/stat. False when the text is not of
// that form; command is cut to fit.
bool parse_process_stat(const char* text, int* pid, unsigned* tty_nr, std::span<char> command);

// True when tty_nr, as /proc/<pid>/stat encodes a device, is rdev.
bool is_same_terminal(unsigned tty_nr, dev_t rdev);
