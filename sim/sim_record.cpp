#include "sim/sim_record.h"

#include <array>
#include <cstdio>

namespace {

constexpr std::size_t FIRST_BYTES_SHOWN = 32;

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

std::string escape_bytes(std::string_view bytes) {
    std::string out;
    for (const char c : bytes) {
        const auto value = static_cast<unsigned char>(c);
        switch (c) {
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            default:
                if (value < 0x20 || value > 0x7e) {
                    std::array<char, 5> hex{};
                    std::snprintf(hex.data(), hex.size(), "\\x%02x", value);
                    out += hex.data();
                } else {
                    out += c;
                }
        }
    }
    return out;
}

std::optional<std::string> unescape_bytes(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) {
            return std::nullopt;
        }
        switch (text[i]) {
            case '\\':
                out += '\\';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            case 'n':
                out += '\n';
                break;
            case 'x': {
                const int high = i + 1 < text.size() ? hex_digit(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? hex_digit(text[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    return std::nullopt;
                }
                out += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default:
                return std::nullopt;
        }
    }
    return out;
}

std::string record_header() {
    return "# cycle\tfault\tbytes-sent\texpected\tfirst-bytes\n";
}

std::string record_line(std::uint64_t cycle, std::string_view fault, std::size_t bytes_sent,
                        const std::optional<std::string>& expected,
                        std::span<const std::uint8_t> first_bytes) {
    std::string hex;
    for (std::size_t i = 0; i < first_bytes.size() && i < FIRST_BYTES_SHOWN; ++i) {
        std::array<char, 3> pair{};
        std::snprintf(pair.data(), pair.size(), "%02x", first_bytes[i]);
        hex += pair.data();
    }
    if (first_bytes.size() > FIRST_BYTES_SHOWN) {
        hex += "...";
    }
    return std::to_string(cycle) + "\t" + std::string(fault) + "\t" + std::to_string(bytes_sent) +
           "\t" + (expected ? escape_bytes(*expected) : "*") + "\t" + (hex.empty() ? "-" : hex) +
           "\n";
}
