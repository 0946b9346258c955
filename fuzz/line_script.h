// What the fuzz targets share: fuzz input as bytes on the scripted line, a reference
// decoder to check deliveries against, guards around the reader's record, and the
// console replaced by a check of every line printed.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "link/link_protocol.h"

// Schedules input on the scripted line, where FE 00 stands for the byte FE and FE n
// (n > 0) makes the bytes after it arrive n ms later; returns the bytes the line carries.
std::vector<std::uint8_t> schedule_with_gaps(std::span<const std::uint8_t> input);

// Whether line holds a frame of type 0xA2 with a matching check byte that carries
// exactly payload, decoded independently of the reader (raw 0x11 and 0x13 taken as
// themselves, as the reader takes them).
bool line_carries_frame(std::span<const std::uint8_t> line, std::span<const std::uint8_t> payload);

// The reader's record between two guard areas that every read must leave intact.
struct guarded_packet {
    std::array<std::uint64_t, 8> before;
    Packet packet;
    std::array<std::uint64_t, 8> after;
};
void arm_guards(guarded_packet& guarded);
bool guards_intact(const guarded_packet& guarded);

// Lines printed since the last call, and whether each was one of the reader's three
// warnings with values it can print.
struct printed_lines {
    std::size_t count = 0;
    bool well_formed = true;
};
printed_lines take_printed_lines();

// Stops with a message naming the broken invariant, so that the fuzzer keeps the input.
[[noreturn]] void invariant_broken(const char* what);
