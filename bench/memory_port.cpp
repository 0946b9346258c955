#include "bench/memory_port.h"

#include "serial/port_backend.h"
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
}

void memory_port_rewind() {
    position = 0;
}

std::intptr_t open_port(const char*, port_report*, port_route) {
    return port_handle;
}

int try_read_byte(std::uint8_t* dst) {
    if (position == line.size()) {
        return -1;
    }
    *dst = line[position++];
    return 0;
}

bool wait_for_input(int) {
    return position < line.size();
}

void port_send(const std::uint8_t*, std::size_t) {}

// Moves on one millisecond per reading, so that a reader that failed would still meet
// its deadline instead of hanging the benchmark.
std::int64_t now_ms() {
    return clock_readings++;
}

void pause_ms(int) {}
