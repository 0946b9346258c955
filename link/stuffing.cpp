#include "link/link_protocol.h"

namespace {

// An escaped value travels as its complement behind the escape byte.
constexpr std::uint8_t complement(std::uint8_t value) {
    return static_cast<std::uint8_t>(0xFF - value);
}

constexpr bool needs_escape(std::uint8_t value) {
    return value == 0x11 || value == 0x13 || value == ESCAPE_BYTE;
}

}  // namespace

std::size_t put_escaped(std::uint8_t* out, std::uint8_t value) {
    if (!needs_escape(value)) {
        out[0] = value;
        return 1;
    }
    out[0] = ESCAPE_BYTE;
    out[1] = complement(value);
    return 2;
}
