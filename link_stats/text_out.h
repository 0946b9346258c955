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

    // A count of 10^-places units as a decimal without trailing zeros (places at most
    // 18): 1500000 at six places as "1.5", 2000000 as "2".
    text_out& decimal(std::uint64_t scaled, std::size_t places) {
        std::array<char, 18> fraction{};
        for (std::size_t i = places; i > 0; --i) {
            fraction[i - 1] = static_cast<char>('0' + scaled % 10);
            scaled /= 10;
        }
        *this << scaled;
        while (places > 0 && fraction[places - 1] == '0') {
            --places;
        }
        if (places > 0) {
            *this << "." << std::string_view(fraction.data(), places);
        }
        return *this;
    }

    bool full() const { return size == buffer.size(); }
};
