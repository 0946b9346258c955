// The one serial port of the process. Each platform has its own backend file; the
// build picks one, and tests link a scripted port in its place.
#pragma once

#include <cstddef>
#include <cstdint>

// The invalid value of port_handle, before open_port has succeeded.
inline constexpr std::intptr_t PORT_CLOSED = -1;

// The open port, wide enough for the platform's handle. Set once by the entry point
// from open_port's result (even a failed one); every transfer checks it first.
extern std::intptr_t port_handle;

// Opens the port named name (the form COM<n>) exclusively and sets it to 921,600 baud,
// 8N1, no flow control, reads that return at once; discards anything pending.
// Returns the handle (never negative), or PORT_CLOSED when the name does not parse,
// the device does not exist, is not a serial device, or is held by someone else.
// It does not store the handle in port_handle.
std::intptr_t open_port(const char* name);

// Reads one byte into dst. Tries twice, pausing about 1 ms after each empty try; a
// pause ends early when a byte arrives, and that byte is left for the next try.
// Returns 0 when a byte was stored, -1 when none arrived or the port is closed.
int read_byte(std::uint8_t* dst);

// Waits up to ms milliseconds for the port to have a byte to read. Returns true as
// soon as it has, false when the time ran out. A port that can deliver nothing (closed,
// or its device gone) is never reported ready: the call then just pauses for ms, so a
// caller looping on it cannot spin.
bool wait_for_input(int ms);

// Discards all pending input and output, then writes count bytes in one go, giving
// up after 100 ms a byte plus 500 ms. Failures are not reported. Does nothing while
// the port is closed.
void port_send(const std::uint8_t* bytes, std::size_t count);
