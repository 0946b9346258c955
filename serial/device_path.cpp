#include "serial/device_path.h"

#include <climits>
#include <cstdio>
#include <cstring>

namespace {

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

port_name_parse parse_port_name(const char* name, int* number) {
    const char* p = name;
    for (const char expected : {'C', 'O', 'M'}) {
        if (*p == '\0') {
            return PORT_NAME_ENDED;
        }
        if (*p != expected) {
            return PORT_NAME_MISMATCH;
        }
        ++p;
    }
    while (is_space(*p)) {
        ++p;
    }
    if (*p == '\0') {
        return PORT_NAME_ENDED;
    }
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') {
        ++p;
    }
    if (!is_digit(*p)) {
        return PORT_NAME_MISMATCH;
    }
    // Accumulate towards the sign's side so INT_MIN is reachable without overflow.
    int value = 0;
    for (; is_digit(*p); ++p) {
        const int digit = *p - '0';
        if (negative) {
            value = value < (INT_MIN + digit) / 10 ? INT_MIN : value * 10 - digit;
        } else {
            value = value > (INT_MAX - digit) / 10 ? INT_MAX : value * 10 + digit;
        }
    }
    *number = value;
    return PORT_NAME_NUMBER;
}

int device_path_for(const char* name, std::span<char, DEVICE_PATH_SIZE> path) {
    int number = 0;
    if (parse_port_name(name, &number) == PORT_NAME_MISMATCH) {
        return LINK_FAILED;
    }
    if (number <= 9) {
        const std::size_t length = std::strlen(name);
        if (length >= path.size()) {
            return LINK_FAILED;
        }
        std::memcpy(path.data(), name, length + 1);
        return LINK_OK;
    }
    std::snprintf(path.data(), path.size(), "\\\\.\\COM%d", number);
    return LINK_OK;
}
