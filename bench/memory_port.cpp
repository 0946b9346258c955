#include "bench/memory_port.h"

#include <algorithm>

#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

std::intptr_t port_handle = 3;

namespace {

std::span<const std::uint8_t> line;
std::size_t position = 0;
std::int64_t clock_readings = 0;

}  // namespace

void memory_port_load(std::span<const std::uint8_t> bytes) {
    line = bytes;
    position = 0;
    drop_received();
}

void memory_port_rewind() {
    position = 0;
    drop_received();
}

std::intptr_t open_port(const char*, port_report*, port_route, const line_state&) {
    return port_handle;
}

std::size_t read_arrived(std::uint8_t* dst, std::size_t size) {
    const std::size_t count = std::min(size, line.size() - position);
    std::copy_n(line.begin() + static_cast<std::ptrdiff_t>(position), count, dst);
    position += count;
    return count;
}

int wait_for_port(int, std::uint8_t*, std::size_t) {
    return position < line.size() ? LINK_OK : LINK_FAILED;
}

void port_send(const std::uint8_t*, std::size_t) {}

// Moves on one millisecond per reading, so that a reader that failed would still meet
// its deadline instead of hanging the benchmark.
std::int64_t now_ms() {
    return clock_readings++;
}

void pause_ms(int) {}
