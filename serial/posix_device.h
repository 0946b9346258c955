// Where a Windows-style device path leads on a POSIX system.
#pragma once

#include <span>

#include "serial/device_path.h"

// Maps a device path formed by device_path_for to a file to open. A leading "\\.\" is
// dropped. If what remains names an entry in the working directory (a user's
// `ln -s /dev/ttyUSB0 COM3`), that entry is used; otherwise exactly "COM<n>" with n
// from 1 up, without leading zeros, means the n-th built-in port, /dev/ttyS<n-1>.
// Returns 0, or -1 when the path leads nowhere.
int posix_device_for(const char* path, std::span<char, DEVICE_PATH_SIZE> device);

// True when the port name equal to entry leads to the entry of that name in the working
// directory: "COM3" and "COM03" do, "COM012" does not (it means COM12), nor does
// anything that is not of the form COM<n>.
bool port_name_opens_entry(const char* entry);
