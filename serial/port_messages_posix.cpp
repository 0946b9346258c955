#include <cstdio>
#include <cstring>

#include "serial/port_messages.h"

const char* const PORT_NAME_HELP =
    "COM<n>, such as COM3 (a link of that name in the working directory, or else "
    "/dev/ttyS<n-1>), or a device path, such as /dev/ttyUSB0";

void system_error_text(int system_error, std::array<char, 256>& out) {
    std::snprintf(out.data(), out.size(), "%s", std::strerror(system_error));
}
