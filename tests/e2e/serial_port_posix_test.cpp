// The Linux port backend against a pseudo-terminal. Bounds are generous; the machine may
// be busy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "serial/serial_port.h"
#include "tests/e2e/tool_harness.h"

namespace {

using std::chrono::milliseconds;

// How long a wait for input took, in milliseconds, and whether input came.
std::pair<long long, bool> timed_wait(int ms) {
    const auto start = std::chrono::steady_clock::now();
    const bool ready = wait_for_input(ms);
    return {
        std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count(),
        ready};
}

// Reads count bytes through read_byte, waiting for each as long as it takes to come.
byte_string read_bytes(std::size_t count) {
    byte_string got;
    std::uint8_t byte = 0;
    while (got.size() < count && wait_for_input(5000) && read_byte(&byte) == LINK_OK) {
        got.push_back(byte);
    }
    return got;
}

TEST(PosixPort, WaitsEndAtInputReadAheadIsHandedOutInOrderAndPurgedAndAHangUpPauses) {
    pty_device device;
    port_report report{};
    port_handle = open_port(device.tty_path().c_str(), &report);
    ASSERT_NE(port_handle, PORT_CLOSED);
    // A frame split across two reads: the second write's bytes follow the first's.
    device.send({0xAD, 0x00, 0x03});
    const auto [arrived, ready] = timed_wait(10000);
    EXPECT_TRUE(ready && arrived < 1000) << arrived;
    EXPECT_EQ(read_bytes(1), byte_string{0xAD});
    device.send({0xA2, 0x4F, 0x4B, 0xA6});
    EXPECT_EQ(read_bytes(6), (byte_string{0x00, 0x03, 0xA2, 0x4F, 0x4B, 0xA6}));
    // A silent line: nothing to hand out, and the wait runs its time.
    std::uint8_t byte = 0;
    EXPECT_EQ(read_byte(&byte), LINK_FAILED);
    EXPECT_GE(timed_wait(100).first, 95);
    // Bytes read ahead count as input: the wait returns at once although the line is quiet.
    device.send({1, 2, 3});
    EXPECT_EQ(read_bytes(1), byte_string{1});
    const auto [buffered, still_ready] = timed_wait(10000);
    EXPECT_TRUE(still_ready && buffered < 1000) << buffered;
    // The purge before a send drops them with the rest of the pending input.
    port_send(greeting_bytes().data(), greeting_bytes().size());
    EXPECT_EQ(device.receive(greeting_bytes().size(), milliseconds(5000)), greeting_bytes());
    EXPECT_EQ(read_byte(&byte), LINK_FAILED);
    device.send({9});
    EXPECT_EQ(read_bytes(1), byte_string{9});
    // After a hang-up the port is closed at once, with the reason kept for the cycle to
    // report, and a wait pauses instead of returning at once.
    device.hang_up();
    EXPECT_GE(timed_wait(200).first, 190);
    EXPECT_EQ(port_handle, PORT_CLOSED);
    EXPECT_EQ(port_lost_error, EIO);
    port_send(greeting_bytes().data(), greeting_bytes().size());
}

TEST(PosixPort, ThePortNeverTakesAStandardDescriptorAndAnyBaudRateIsSet) {
    // Standard rates by their codes, others as rates of their own (termios2); each with
    // some of the standard descriptors closed.
    const std::pair<std::uint32_t, std::vector<int>> rows[] = {
        {115200U, {0}}, {9600U, {1, 2}}, {250000U, {0, 1, 2}}, {1234567U, {}}};
    for (const auto& [baud, closed] : rows) {
        const pty_device device;  // each its own: a closed port leaves its exclusive flag
        std::vector<int> saved;
        saved.reserve(closed.size());
        for (const int standard : closed) {
            saved.push_back(fcntl(standard, F_DUPFD_CLOEXEC, 10));
            close(standard);
        }
        port_report report{};
        const std::intptr_t handle =
            open_port(device.tty_path().c_str(), &report, ROUTE_ANY, line_at(baud));
        std::size_t still_closed = 0;
        for (std::size_t i = 0; i < closed.size(); ++i) {
            still_closed += fcntl(closed[i], F_GETFD) == -1 ? 1U : 0U;
            dup2(saved[i], closed[i]);
            close(saved[i]);
        }
        ASSERT_NE(handle, PORT_CLOSED) << baud;
        EXPECT_GT(handle, STDERR_FILENO) << baud;
        EXPECT_EQ(still_closed, closed.size()) << baud;
        EXPECT_TRUE(report.line_known && report.line.baud == baud) << baud;
        close(static_cast<int>(handle));
    }
}

}  // namespace
