// The floor of a device over a pseudo-terminal: it answers every greeting at once with
// the frame of payload "world", in one write, and does nothing else, so that a greeting
// program measured against it sets its own pace. COM3 in the working directory names
// its terminal; it runs until stopped.
//
//   floor_device
#include <poll.h>
#include <pty.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>

#include "link/frame_bytes.h"
#include "link/link_protocol.h"
#include "serial/posix_tty.h"

int main() {
    int master = -1;
    int terminal = -1;  // held open, so the line keeps its settings between openers
    std::array<char, 256> name{};
    if (openpty(&master, &terminal, name.data(), nullptr, nullptr) != 0 ||
        set_raw_line(terminal) != LINK_OK) {
        std::perror("floor_device");
        return 1;
    }
    std::filesystem::remove("COM3");
    std::filesystem::create_symlink(name.data(), "COM3");
    const std::vector<std::uint8_t> reply = frame_bytes(FRAME_TYPE_TEXT, "world");
    // The greeting's check byte, 0xC0, is its last and appears nowhere else in it.
    constexpr std::uint8_t GREETING_END = 0xC0;
    std::array<std::uint8_t, 4096> in{};
    for (;;) {
        pollfd readable{master, POLLIN, 0};
        if (poll(&readable, 1, -1) < 0) {
            continue;
        }
        const ssize_t n = read(master, in.data(), in.size());
        for (ssize_t i = 0; i < n; ++i) {
            if (in[static_cast<std::size_t>(i)] == GREETING_END &&
                write(master, reply.data(), reply.size()) < 0) {
                return 1;
            }
        }
    }
}
