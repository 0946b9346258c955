#include "serial/posix_device.h"

#include <sys/stat.h>

#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view win32_device_prefix = "\\\\.\\";

// The number of a path that is exactly "COM<n>", n from 1 to INT_MAX written without
// leading zeros; 0 for anything else.
long long builtin_port_number(std::string_view path) {
    constexpr std::string_view prefix = "COM";
    if (!path.starts_with(prefix)) {
        return 0;
    }
    const std::string_view digits = path.substr(prefix.size());
    if (digits.empty() || digits.size() > 10 || digits.front() == '0') {
        return 0;
    }
    long long number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return 0;
        }
        number = number * 10 + (c - '0');
    }
    return number <= INT_MAX ? number : 0;
}

bool allows(port_route wanted, port_route route) {
    return wanted == ROUTE_ANY || wanted == route;
}

void copy_path(std::string_view path, std::span<char, DEVICE_PATH_SIZE> device) {
    std::memcpy(device.data(), path.data(), path.size());
    device[path.size()] = '\0';
}

}  // namespace

bool port_name_opens_entry(const char* entry) {
    std::array<char, DEVICE_PATH_SIZE> path{};
    if (device_path_for(entry, path) != LINK_OK) {
        return false;
    }
    std::string_view rest = path.data();
    if (rest.starts_with(win32_device_prefix)) {
        rest.remove_prefix(win32_device_prefix.size());
    }
    return rest == entry;
}

device_lookup posix_device_for(const char* name, port_route wanted,
                               std::span<char, DEVICE_PATH_SIZE> device, port_route* route) {
    device[0] = '\0';
    const std::string_view typed = name;
    if (typed.starts_with('/')) {
        // A name's kind never changes, so a device path is never reached another way.
        if (typed.size() >= device.size()) {
            return DEVICE_BAD_NAME;
        }
        copy_path(typed, device);
        *route = ROUTE_DEVICE_PATH;
        return allows(wanted, ROUTE_DEVICE_PATH) ? DEVICE_FOUND : DEVICE_NOWHERE;
    }
    std::array<char, DEVICE_PATH_SIZE> path{};
    // An empty name would be taken as typed and then found missing; it is no name at all.
    if (device_path_for(name, path) != LINK_OK || path[0] == '\0') {
        return DEVICE_BAD_NAME;
    }
    std::string_view rest = path.data();
    if (rest.starts_with(win32_device_prefix)) {
        rest.remove_prefix(win32_device_prefix.size());
    }
    if (rest.empty()) {
        return DEVICE_BAD_NAME;
    }
    // lstat, not stat: a link the user made is taken as meant even when it dangles. rest
    // ends where path does, so it is zero-terminated.
    struct stat entry {};
    if (allows(wanted, ROUTE_ENTRY) && lstat(rest.data(), &entry) == 0) {
        copy_path(rest, device);
        *route = ROUTE_ENTRY;
        return DEVICE_FOUND;
    }
    const long long number = builtin_port_number(rest);
    if (wanted != ROUTE_ENTRY && number >= 1) {
        std::snprintf(device.data(), device.size(), "/dev/ttyS%lld", builtin_tty_number(number));
        *route = ROUTE_BUILTIN;
        return allows(wanted, ROUTE_BUILTIN) ? DEVICE_FOUND : DEVICE_NOWHERE;
    }
    copy_path(rest, device);
    return DEVICE_NOWHERE;
}
