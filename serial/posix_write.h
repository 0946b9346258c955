// Writing to a non-blocking terminal within a deadline. Apart from the line set-up so
// that linking that alone needs no clock.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/link_result.h"

// Writes all count bytes to the non-blocking fd unless the deadline (a now_ms() reading)
// passes first; poll waits for room meanwhile. Returns LINK_OK when everything was
// written, otherwise LINK_FAILED with errno set (ETIMEDOUT when the deadline passed).
int write_within(int fd, const std::uint8_t* bytes, std::size_t count, std::int64_t deadline);
