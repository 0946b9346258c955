// Text appended to a fixed buffer, what does not fit dropped. Numbers are formatted here
// rather than by the C library, which a signal handler must not call.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

struct text_out {
    std::span<char> buffer;
    std::size_t size = 0;

    text_out& operator<<(std::string_view text) {
        for (const char c : text) {
            if (size < buffer.size()) {
                buffer[size++] = c;
            }
        }
        return *this;
    }

    text_out& operator<<(std::uint64_t number) {
        std::array<char, 20> digits{};
        std::size_t count = 0;
        do {
            digits[count++] = static_cast<char>('0' + number % 10);
            number /= 10;
        } while (number != 0);
        while (count > 0) {
            *this << std::string_view(&digits[--count], 1);
        }
        return *this;
    }

    text_out& operator<<(std::int64_t number) {
        if (number < 0) {
            *this << "-";
            // Negated in unsigned arithmetic: the smallest value has no positive twin.
            return *this << (0 - static_cast<std::uint64_t>(number));
        }
        return *this << static_cast<std::uint64_t>(number);
    }

    // A count of thousandths as a decimal with three places: 412 as "0.412".
    text_out& thousandths(std::uint64_t value) {
        const std::uint64_t fraction = value % 1000;
        *this << value / 1000 << ".";
        return *this << std::string_view(&"0123456789"[fraction / 100], 1)
                     << std::string_view(&"0123456789"[fraction / 10 % 10], 1)
                     << std::string_view(&"0123456789"[fraction % 10], 1);
    }

    bool full() const { return size == buffer.size(); }
};
