#include "link/link_protocol.h"

std::uint8_t xor_check(const std::uint8_t* bytes, std::uint16_t count) {
    std::uint8_t check = bytes[0];
    for (std::uint16_t i = 1; i < count; ++i) {
        check ^= bytes[i];
    }
    return check;
}
