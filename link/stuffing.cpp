#include <algorithm>
#include <array>

#include "link/link_protocol.h"

namespace {

// The values that never travel as themselves: XON, XOFF and the escape byte.
constexpr std::array<std::uint8_t, 3> ESCAPED_VALUES{0x11, 0x13, ESCAPE_BYTE};

// An escaped value travels as its complement behind the escape byte; the complement is
// its own inverse, so the reader undoes it with the same function.
constexpr std::uint8_t complement(std::uint8_t value) {
    return static_cast<std::uint8_t>(0xFF - value);
}

constexpr bool needs_escape(std::uint8_t value) {
    return std::ranges::find(ESCAPED_VALUES, value) != ESCAPED_VALUES.end();
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

bool unescape(std::uint8_t second, std::uint8_t* value) {
    const std::uint8_t candidate = complement(second);
    if (!needs_escape(candidate)) {
        return false;
    }
    *value = candidate;
    return true;
}
