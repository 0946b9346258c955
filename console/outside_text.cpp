#include "console/outside_text.h"

#include <array>
#include <cstdarg>
#include <cstdio>

std::size_t utf8_sequence(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    std::size_t size = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        size = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        size = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        size = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (bytes.size() < size || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < size; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return size;
}

std::array<char, 3> hex_escape(unsigned char byte) {
    constexpr std::string_view HEX = "0123456789abcdef";
    return {'x', HEX[byte >> 4], HEX[byte & 0xFU]};
}

std::size_t put_outside_text(std::string_view raw, std::span<char> out) {
    std::size_t size = 0;
    while (!raw.empty()) {
        const std::size_t sequence = utf8_sequence(raw);
        const auto lead = static_cast<unsigned char>(raw[0]);
        // C1 controls are U+0080 to U+009F, two bytes from 0xC2 0x80: some terminals act
        // on them as on ESC and a letter.
        const bool control =
            lead < 0x20 || lead == 0x7F ||
            (lead == 0xC2 && sequence == 2 && static_cast<unsigned char>(raw[1]) < 0xA0);
        const std::size_t taken = sequence == 0 ? 1 : sequence;
        const std::size_t needed = sequence == 0 || control ? 4 * taken : taken;
        if (needed > out.size() - size) {
            break;
        }
        for (std::size_t i = 0; i < taken; ++i) {
            if (needed == taken) {
                out[size++] = raw[i];
            } else {
                const std::array<char, 3> escape = hex_escape(static_cast<unsigned char>(raw[i]));
                out[size++] = '\\';
                for (const char c : escape) {
                    out[size++] = c;
                }
            }
        }
        raw.remove_prefix(taken);
    }
    return size;
}

const char* safe_line(std::string_view line, std::span<char> out) {
    const bool ends_line = line.ends_with('\n');
    // Room kept for the line feed and the zero.
    std::size_t size = put_outside_text(ends_line ? line.substr(0, line.size() - 1) : line,
                                        out.first(out.size() - 2));
    if (ends_line) {
        out[size++] = '\n';
    }
    out[size] = '\0';
    return out.data();
}

void print_error(const char* format, ...) {
    // Static: a path alone may be 4 KiB, four times that escaped. Never called in a
    // signal handler, and from one thread only.
    static std::array<char, std::size_t{8} * 1024> formed{};
    static std::array<char, 4 * formed.size()> shown{};
    va_list args;
    va_start(args, format);
    const int length = std::vsnprintf(formed.data(), formed.size(), format, args);
    va_end(args);
    // Cut to fit, it still ends its line.
    if (length >= static_cast<int>(formed.size())) {
        formed[formed.size() - 2] = '\n';
    }
    safe_line(formed.data(), shown);
    std::fputs(shown.data(), stderr);
    std::fflush(stderr);
}
