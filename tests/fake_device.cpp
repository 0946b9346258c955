#include "tests/fake_device.h"

#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

std::intptr_t port_handle = PORT_CLOSED;
fake_device fake;

namespace {

bool byte_ready() {
    return !fake.incoming.empty() && fake.incoming.front().first <= fake.now;
}

}  // namespace

void fake_reset() {
    fake = fake_device{};
    drop_received();
    port_handle = 3;
}

void fake_arrive(std::int64_t at_ms, const std::vector<std::uint8_t>& bytes) {
    for (const std::uint8_t b : bytes) {
        fake.incoming.emplace_back(at_ms, b);
    }
}

std::size_t fake_unread() {
    return fake.incoming.size() + received_unread();
}

std::int64_t now_ms() {
    const std::int64_t reading = fake.now;
    fake.now += fake.step_per_reading;
    return reading;
}

std::int64_t now_us() {
    return now_ms() * 1000;
}

void pause_ms(int ms) {
    ++fake.wakeups;
    fake.now += ms;
}

// Ends at the next scheduled byte if that comes within the limit, as a wait for
// readability does; like poll, it reads nothing.
int wait_for_port(int ms, std::uint8_t*, std::size_t) {
    ++fake.wakeups;
    const std::int64_t limit = fake.now + ms;
    if (port_handle == PORT_CLOSED || fake.incoming.empty() ||
        fake.incoming.front().first > limit) {
        fake.now = limit;
        return LINK_FAILED;
    }
    fake.now = std::max(fake.now, fake.incoming.front().first);
    return LINK_OK;
}

std::intptr_t open_port(const char*, port_report*, port_route, const line_state&) {
    return PORT_CLOSED;
}

std::size_t read_arrived(std::uint8_t* dst, std::size_t size) {
    ++fake.reads;
    std::size_t count = 0;
    for (; count < size && byte_ready(); ++count) {
        dst[count] = fake.incoming.front().second;
        fake.incoming.pop_front();
    }
    return count;
}

void port_send(const std::uint8_t* bytes, std::size_t count) {
    if (port_handle == PORT_CLOSED) {
        return;
    }
    drop_received();
    while (byte_ready()) {
        fake.incoming.pop_front();
    }
    fake.sent.insert(fake.sent.end(), bytes, bytes + count);
}
