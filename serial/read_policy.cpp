// read_byte over every backend: two tries, each empty one followed by a wait of about
// 1 ms that ends early when a byte arrives. The frame reader's gap rule (a frame is
// dropped when a byte is more than about 2 ms late) rests on these two pauses. On a slow
// line each pause lasts at least READ_PAUSE_CHARACTERS character times instead: a UART
// hands its bytes on when its receive FIFO fills or after four quiet characters, so a
// reply at 9,600 baud reaches the reader in bursts some 8 ms apart.
//
// A try that finds the receive buffer empty takes everything that has arrived in one
// read, so a reply costs a few system calls, not one per byte; the bytes are handed out
// exactly as single reads would have returned them.
#include <array>

#include "serial/read_policy.h"
#include "serial/serial_port.h"
#include "timing/clock.h"

namespace {

constexpr int READ_TRIES = 2;
constexpr int READ_PAUSE_MS = 1;
// Two pauses cover 32 characters: two fills of a 16-byte FIFO, or one and its timeout.
// From 160,000 baud up that is less than 1 ms, and the pause stays 1 ms.
constexpr std::uint64_t READ_PAUSE_CHARACTERS = 16;
constexpr std::uint64_t BITS_PER_CHARACTER = 10;  // start bit, 8 data bits, stop bit

int read_pause_ms = READ_PAUSE_MS;

// Static, not on a stack: the bytes outlive each call.
struct receive_buffer {
    std::array<std::uint8_t, RECEIVE_BUFFER_SIZE> bytes;
    std::size_t next;  // the first byte not handed out yet
    std::size_t end;   // one past the last byte received
};

receive_buffer received{};
std::int64_t quiet_since = 0;

bool take_received(std::uint8_t* dst) {
    if (received.next == received.end) {
        return false;
    }
    *dst = received.bytes[received.next];
    ++received.next;
    return true;
}

bool try_read(std::uint8_t* dst) {
    if (port_handle == PORT_CLOSED) {
        return false;
    }
    if (take_received(dst)) {
        return true;
    }
    received.next = 0;
    received.end = read_arrived(received.bytes.data(), received.bytes.size());
    return take_received(dst);
}

}  // namespace

void drop_received() {
    received.next = 0;
    received.end = 0;
}

std::size_t received_unread() {
    return received.end - received.next;
}

void set_read_speed(std::uint32_t baud) {
    const std::uint64_t per_second = baud > 0 ? baud : 1;
    const std::uint64_t characters_ms =
        (READ_PAUSE_CHARACTERS * BITS_PER_CHARACTER * 1000 + per_second - 1) / per_second;
    read_pause_ms = characters_ms > READ_PAUSE_MS ? static_cast<int>(characters_ms) : READ_PAUSE_MS;
}

int read_byte(std::uint8_t* dst) {
    for (int attempt = 0; attempt < READ_TRIES; ++attempt) {
        if (try_read(dst)) {
            return LINK_OK;
        }
        // Read only here, where a wait follows anyway: a clock per byte would slow the
        // reader down.
        if (attempt == 0) {
            quiet_since = now_ms();
        }
        wait_for_input(read_pause_ms);
    }
    return LINK_FAILED;
}

std::int64_t quiet_since_ms() {
    return quiet_since;
}

bool wait_for_input(int ms) {
    if (port_handle != PORT_CLOSED && received_unread() > 0) {
        return true;
    }
    // Empty here, so a wait that reads may fill it from the start.
    drop_received();
    const int taken = wait_for_port(ms, received.bytes.data(), received.bytes.size());
    if (taken > 0) {
        received.end = static_cast<std::size_t>(taken);
    }
    return taken != LINK_FAILED;
}
