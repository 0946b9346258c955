// The floor a greeting program can reach over a pseudo-terminal: the least work per
// cycle, for the benchmarks to hold the tool against. It purges and greets, waits in one
// poll for the reply, reads it in one read, prints its payload and pauses, with no
// unstuffing, no check and no gap rule: it trusts the reply to arrive whole, unstuffed,
// in one piece, as the benchmark's driver sends it. INTERVAL_MS is the pause (default
// the tool's, 0 for none at all) and COUNT the greetings to send (default no end).
//
//   floor_cycle COM3 [INTERVAL_MS [COUNT]]
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "app/poll_cycle.h"
#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "serial/posix_tty.h"

namespace {

constexpr int HEADER_SIZE = 4;  // start, two length bytes, type

std::array<std::uint8_t, STUFFED_FRAME_MAX + 1> reply;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fputs("usage: floor_cycle PORT [INTERVAL_MS [COUNT]]\n", stderr);
        return 2;
    }
    const long interval_ms = argc > 2 ? std::atol(argv[2]) : CYCLE_PAUSE_MS;
    const long count = argc > 3 ? std::atol(argv[3]) : 0;
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 || set_raw_line(fd) != LINK_OK) {
        std::perror(argv[1]);
        return 1;
    }
    constexpr std::array<std::uint8_t, 10> GREETING{0xAD, 0x00, 0x06, 0xA2, 0x68,
                                                    0x65, 0x6C, 0x6C, 0x6F, 0xC0};
    std::fputs(BANNER_LINE, stdout);
    std::fflush(stdout);
    for (long sent = 1;; ++sent) {
        tcflush(fd, TCIOFLUSH);
        if (write(fd, GREETING.data(), GREETING.size()) < 0) {
            return 1;
        }
        pollfd readable{fd, POLLIN, 0};
        const ssize_t n = poll(&readable, 1, static_cast<int>(READ_DEADLINE_MS)) == 1
                              ? read(fd, reply.data(), reply.size() - 1)
                              : -1;
        if (n > HEADER_SIZE + 1) {
            // The payload ends before the check byte.
            reply[static_cast<std::size_t>(n - 1)] = 0;
            std::printf(RESPONSE_FORMAT, reinterpret_cast<const char*>(reply.data() + HEADER_SIZE));
        } else {
            std::fputs(NO_RESPONSE_LINE, stdout);
        }
        std::fflush(stdout);
        if (sent == count) {
            return 0;
        }
        if (interval_ms > 0) {
            const timespec pause{interval_ms / 1000, (interval_ms % 1000) * 1000000L};
            nanosleep(&pause, nullptr);
        }
    }
}
