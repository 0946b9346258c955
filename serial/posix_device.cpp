#include "serial/posix_device.h"

#include <sys/stat.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace {

constexpr std::string_view win32_device_prefix = "\\\\.\\";

// The number of a path that is exactly "COM<n>", n >= 1 written without leading
// zeros; 0 for anything else.
long builtin_port_number(std::string_view path) {
    constexpr std::string_view prefix = "COM";
    if (!path.starts_with(prefix)) {
        return 0;
    }
    const std::string_view digits = path.substr(prefix.size());
    if (digits.empty() || digits.size() > 9 || digits.front() == '0') {
        return 0;
    }
    long number = 0;
    for (const char c : digits) {
        if (c < '0' || c > '9') {
            return 0;
        }
        number = number * 10 + (c - '0');
    }
    return number;
}

}  // namespace

bool port_name_opens_entry(const char* entry) {
    std::array<char, DEVICE_PATH_SIZE> path{};
    if (device_path_for(entry, path) != 0) {
        return false;
    }
    std::string_view rest = path.data();
    if (rest.starts_with(win32_device_prefix)) {
        rest.remove_prefix(win32_device_prefix.size());
    }
    return rest == entry;
}

int posix_device_for(const char* path, std::span<char, DEVICE_PATH_SIZE> device) {
    std::string_view rest = path;
    if (rest.starts_with(win32_device_prefix)) {
        rest.remove_prefix(win32_device_prefix.size());
    }
    if (rest.empty() || rest.size() >= device.size()) {
        return -1;
    }
    // lstat, not stat: a link the user made is taken as meant even when it dangles.
    struct stat entry {};
    if (lstat(rest.data(), &entry) == 0) {
        std::memcpy(device.data(), rest.data(), rest.size() + 1);
        return 0;
    }
    const long number = builtin_port_number(rest);
    if (number < 1) {
        return -1;
    }
    std::snprintf(device.data(), device.size(), "/dev/ttyS%ld", number - 1);
    return 0;
}
