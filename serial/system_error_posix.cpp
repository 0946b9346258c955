#include <cstdio>
#include <cstring>

#include "serial/port_messages.h"

void system_error_text(int system_error, std::array<char, 256>& out) {
    std::snprintf(out.data(), out.size(), "%s", std::strerror(system_error));
}
