// What the fuzz targets share: the console replaced by a check of every line printed,
// and a way to stop that keeps the input. The reader's record is a global of its own, so
// that AddressSanitizer sees any write past it.
#pragma once

#include <cstddef>

// Lines printed since the last call, and whether each was one of the reader's three
// warnings with values it can print.
struct printed_lines {
    std::size_t count = 0;
    bool well_formed = true;
};
printed_lines take_printed_lines();

// Stops with a message naming the broken invariant, so that the fuzzer keeps the input.
[[noreturn]] void invariant_broken(const char* what);
