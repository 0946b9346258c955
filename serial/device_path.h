// How a port name becomes the path of a device. Shared by every backend so that a name
// means the same on each platform.
#pragma once

#include <cstddef>
#include <span>

#include "link/link_result.h"

// Room for a device path, its terminating zero included.
inline constexpr std::size_t DEVICE_PATH_SIZE = 1024;

// The way a port name reached its device. A port lost and reopened goes the same way
// again or stays away: a name that led through a link must not land on a built-in port
// of the same number while the link is missing, nor the other way round.
enum port_route : int {
    ROUTE_ANY = 0,      // the first open: the first way that leads somewhere
    ROUTE_ENTRY,        // an entry of that name in the working directory (Linux)
    ROUTE_BUILTIN,      // the system's own port of that number, /dev/ttyS<n-1> (Linux)
    ROUTE_DEVICE_PATH,  // the name is the device's absolute path (Linux)
};

// COM<n> is the system's n-th built-in port, which Linux counts from 0 as ttyS<n-1>:
// the name mapping and the port list both go through this pair.
constexpr long long builtin_tty_number(long long com_number) {
    return com_number - 1;
}
constexpr long long builtin_com_number(long long tty_number) {
    return tty_number + 1;
}

enum port_name_parse : int {
    PORT_NAME_NUMBER = 1,    // "COM" and a number were read
    PORT_NAME_MISMATCH = 0,  // the text does not start with "COM" and a number
    PORT_NAME_ENDED = -1,    // the text ended before a number could start
};

// Reads "COM" followed by a decimal number as the formatted-input conversion "COM%d"
// does: white space before the number is skipped, a sign is allowed, and whatever
// follows the digits is ignored. A number beyond the range of int saturates at its
// limit instead of wrapping. number is set only when the result is PORT_NAME_NUMBER.
port_name_parse parse_port_name(const char* name, int* number);

// Forms the device path for name: the name exactly as typed for port numbers of 9 or
// less (and for a name that ends before its number), otherwise "\\.\COM<n>", the form
// Windows needs for ports from 10 up, whatever follows the number. Returns LINK_OK, or
// LINK_FAILED when the name is not of the form COM<n> or does not fit path.
int device_path_for(const char* name, std::span<char, DEVICE_PATH_SIZE> path);
