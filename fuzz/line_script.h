// What the fuzz targets share: turning fuzz input into bytes on the scripted line, a
// reference decoder to check deliveries against, and a record with guards around it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "link/link_protocol.h"

// The marker byte of the read_packet target's input: FE 00 stands for the byte FE, and
// FE n (n > 0) makes the bytes after it arrive n milliseconds later than those before.
inline constexpr std::uint8_t GAP_MARKER = 0xFE;

// Schedules input on the scripted line as described above; returns the bytes the line
// carries, markers removed, in order.
std::vector<std::uint8_t> schedule_with_gaps(std::span<const std::uint8_t> input);

// Whether line holds, somewhere, a frame of type 0xA2 that carries exactly payload with
// a check byte that matches, decoded independently of the reader (raw 0x11 and 0x13 are
// taken as themselves, as the reader takes them).
bool line_carries_frame(std::span<const std::uint8_t> line, std::span<const std::uint8_t> payload);

// The reader's record between two guard areas; the guards must survive every read.
struct guarded_packet {
    std::array<std::uint64_t, 8> before;
    Packet packet;
    std::array<std::uint64_t, 8> after;
};

void arm_guards(guarded_packet& guarded);
bool guards_intact(const guarded_packet& guarded);

// Lines printed through print_line since the last call, and whether every one of them
// was one of the reader's three warnings with a plausible value.
std::size_t take_printed_lines();
bool printed_lines_well_formed();

// Stops the program with a message naming the broken invariant, so that the fuzzer
// records the input.
[[noreturn]] void invariant_broken(const char* what);
