#include "tests/fake_device.h"

#include <deque>

#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

std::intptr_t port_handle = PORT_CLOSED;

namespace {

struct scheduled_byte {
    std::int64_t at_ms;
    std::uint8_t value;
};

struct fake_state {
    std::int64_t now = 0;
    std::int64_t step_per_reading = 0;
    std::deque<scheduled_byte> incoming;
    std::vector<std::uint8_t> sent;
    int purges = 0;
    int wakeups = 0;
    int reads = 0;
};

fake_state state;

bool byte_ready() {
    return !state.incoming.empty() && state.incoming.front().at_ms <= state.now;
}

}  // namespace

void fake_reset() {
    state = fake_state{};
    drop_received();
    port_handle = 3;
}

void fake_arrive(std::int64_t at_ms, std::span<const std::uint8_t> bytes) {
    for (const std::uint8_t b : bytes) {
        state.incoming.push_back({at_ms, b});
    }
}

void fake_arrive(std::int64_t at_ms, std::initializer_list<std::uint8_t> bytes) {
    fake_arrive(at_ms, std::span<const std::uint8_t>(bytes.begin(), bytes.size()));
}

std::int64_t fake_now() {
    return state.now;
}
std::size_t fake_unread() {
    return state.incoming.size() + received_unread();
}
const std::vector<std::uint8_t>& fake_sent() {
    return state.sent;
}
int fake_purges() {
    return state.purges;
}
int fake_wakeups() {
    return state.wakeups;
}
int fake_reads() {
    return state.reads;
}
void fake_clock_step_per_reading(std::int64_t ms) {
    state.step_per_reading = ms;
}

std::int64_t now_ms() {
    const std::int64_t reading = state.now;
    state.now += state.step_per_reading;
    return reading;
}

std::int64_t now_us() {
    return now_ms() * 1000;
}

void pause_ms(int ms) {
    ++state.wakeups;
    state.now += ms;
}

// Ends at the next scheduled byte if that comes within the limit, as a wait for
// readability does; like poll, it reads nothing.
int wait_for_port(int ms, std::uint8_t*, std::size_t) {
    ++state.wakeups;
    if (port_handle == PORT_CLOSED || state.incoming.empty()) {
        state.now += ms;
        return LINK_FAILED;
    }
    const std::int64_t next = state.incoming.front().at_ms;
    if (next > state.now + ms) {
        state.now += ms;
        return LINK_FAILED;
    }
    if (next > state.now) {
        state.now = next;
    }
    return LINK_OK;
}

std::intptr_t open_port(const char*, port_report*, port_route, const line_state&) {
    return PORT_CLOSED;
}

std::size_t read_arrived(std::uint8_t* dst, std::size_t size) {
    ++state.reads;
    std::size_t count = 0;
    while (count < size && byte_ready()) {
        dst[count] = state.incoming.front().value;
        state.incoming.pop_front();
        ++count;
    }
    return count;
}

void port_send(const std::uint8_t* bytes, std::size_t count) {
    if (port_handle == PORT_CLOSED) {
        return;
    }
    ++state.purges;
    drop_received();
    while (byte_ready()) {
        state.incoming.pop_front();
    }
    state.sent.insert(state.sent.end(), bytes, bytes + count);
}
