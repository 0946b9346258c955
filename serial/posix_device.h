// Where a port name leads on a POSIX system.
#pragma once

#include <span>

#include "serial/device_path.h"

enum device_lookup : int {
    DEVICE_FOUND = 0,
    DEVICE_BAD_NAME,  // neither COM<n> nor an absolute path
    DEVICE_NOWHERE,   // a port name, but it leads nowhere the route allows
};

// The file to open for the port name, going only the way wanted allows (ROUTE_ANY: the
// first that leads somewhere). An absolute path is the device's own path. Otherwise the
// name's device path (device_path_for) without a leading "\\.\" names an entry in the
// working directory (a user's `ln -s /dev/ttyUSB0 COM3`), taken even when it dangles; or
// else exactly "COM<n>" with n from 1 up, without leading zeros, means the n-th built-in
// port, /dev/ttyS<n-1>. On DEVICE_FOUND device holds the path and *route the way taken;
// on DEVICE_NOWHERE device holds the path looked for, for the message; on DEVICE_BAD_NAME
// it is empty.
device_lookup posix_device_for(const char* name, port_route wanted,
                               std::span<char, DEVICE_PATH_SIZE> device, port_route* route);

// True when the port name equal to entry leads to the entry of that name in the working
// directory: "COM3" and "COM03" do, "COM012" does not (it means COM12), nor does
// anything that is not of the form COM<n>.
bool port_name_opens_entry(const char* entry);
