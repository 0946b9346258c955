// Terminal chores shared by the tool's Linux backend, the simulator and the test harness,
// so that a line is made raw and written to the same way everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

// Sets the terminal fd to the tool's line: raw (no echo, no signals, no translation),
// 921,600 baud, 8 data bits, no parity, one stop bit, no hardware or software flow
// control, receiver on, modem status ignored, and reads that return at once.
// Returns 0, or -1 when the terminal refused to be read or set (errno tells why).
int set_raw_line(int fd);

// Writes all count bytes to the non-blocking fd unless the deadline (a now_ms() reading)
// passes first; poll waits for room meanwhile. Returns 0 when everything was written,
// otherwise -1 with errno set (ETIMEDOUT when the deadline passed).
int write_within(int fd, const std::uint8_t* bytes, std::size_t count, std::int64_t deadline);
