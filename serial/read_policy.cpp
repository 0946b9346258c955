// read_byte over every backend: two raw tries, each empty one followed by a wait of
// about 1 ms that ends early when a byte arrives. The frame reader's gap rule (a frame
// is dropped when a byte is more than about 2 ms late) rests on these two pauses.
#include "serial/port_backend.h"
#include "serial/serial_port.h"

namespace {

constexpr int READ_TRIES = 2;
constexpr int READ_PAUSE_MS = 1;

}  // namespace

int read_byte(std::uint8_t* dst) {
    for (int attempt = 0; attempt < READ_TRIES; ++attempt) {
        if (port_handle != PORT_CLOSED && try_read_byte(dst) == 0) {
            return 0;
        }
        wait_for_input(READ_PAUSE_MS);
    }
    return -1;
}
