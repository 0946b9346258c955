// A port that reads from a buffer in memory and a clock that stands still, linked in
// place of the real backend so that the benchmarks time the reader alone.
#pragma once

#include <cstdint>
#include <span>

// Makes bytes the line's contents, read from the start.
void memory_port_load(std::span<const std::uint8_t> bytes);
// Starts reading the loaded bytes from the start again.
void memory_port_rewind();
