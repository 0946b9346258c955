// The Linux port backend against a pseudo-terminal: the waits that replace blind sleeps
// end when a byte arrives, run their time out on a silent line, and after a hang-up close
// the port and pause instead of returning at once; bytes read ahead in one call are
// handed out in order and purged before a send. Bounds are generous; the machine may be busy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "serial/serial_port.h"
#include "tests/e2e/tool_harness.h"

namespace {

using std::chrono::milliseconds;
using steady = std::chrono::steady_clock;

long long ms_since(steady::time_point start) {
    return std::chrono::duration_cast<milliseconds>(steady::now() - start).count();
}

class PosixPort : public ::testing::Test {
  protected:
    void SetUp() override {
        device.link_as(dir.path() / "COM3");
        const auto previous = std::filesystem::current_path();
        std::filesystem::current_path(dir.path());
        port_report report{};
        port_handle = open_port("COM3", &report);
        std::filesystem::current_path(previous);
        ASSERT_NE(port_handle, PORT_CLOSED);
    }
    void TearDown() override {
        if (port_handle != PORT_CLOSED) {
            close(static_cast<int>(port_handle));
            port_handle = PORT_CLOSED;
        }
    }

    scratch_dir dir;
    pty_device device;
};

TEST_F(PosixPort, AWaitEndsWhenAByteArrivesAndLeavesItToBeRead) {
    std::thread sender([this] {
        std::this_thread::sleep_for(milliseconds(100));
        device.send({0x42});
    });
    const auto start = steady::now();
    const bool ready = wait_for_input(10000);
    const long long waited = ms_since(start);
    sender.join();
    EXPECT_TRUE(ready);
    EXPECT_LT(waited, 5000);
    std::uint8_t byte = 0;
    ASSERT_EQ(read_byte(&byte), LINK_OK);
    EXPECT_EQ(byte, 0x42);
}

TEST_F(PosixPort, AWaitOnASilentLineRunsItsTimeOut) {
    const auto start = steady::now();
    EXPECT_FALSE(wait_for_input(100));
    EXPECT_GE(ms_since(start), 95);
    std::uint8_t byte = 0;
    EXPECT_EQ(read_byte(&byte), LINK_FAILED);
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

TEST_F(PosixPort, BytesReadAheadAreHandedOutInOrderAndPurgedBeforeASend) {
    // A frame split across two reads: the second write's bytes follow the first's.
    device.send({0xAD, 0x00, 0x03});
    EXPECT_EQ(read_bytes(1), byte_string{0xAD});
    device.send({0xA2, 0x4F, 0x4B, 0xA6});
    EXPECT_EQ(read_bytes(6), (byte_string{0x00, 0x03, 0xA2, 0x4F, 0x4B, 0xA6}));

    // A gap while the buffer is empty: nothing to hand out, and the wait runs its time.
    std::uint8_t byte = 0;
    EXPECT_EQ(read_byte(&byte), LINK_FAILED);
    const auto start = steady::now();
    EXPECT_FALSE(wait_for_input(50));
    EXPECT_GE(ms_since(start), 45);

    // Bytes read ahead count as input: the wait returns at once although the line is quiet.
    device.send({1, 2, 3});
    EXPECT_EQ(read_bytes(1), byte_string{1});
    const auto buffered = steady::now();
    EXPECT_TRUE(wait_for_input(10000));
    EXPECT_LT(ms_since(buffered), 1000);

    // The purge before a send drops them with the rest of the pending input.
    port_send(greeting_bytes().data(), greeting_bytes().size());
    EXPECT_EQ(device.receive(greeting_bytes().size(), milliseconds(5000)), greeting_bytes());
    EXPECT_EQ(read_byte(&byte), LINK_FAILED);
    device.send({9});
    EXPECT_EQ(read_bytes(1), byte_string{9});
}

TEST_F(PosixPort, AfterAHangUpThePortIsClosedAndAWaitPausesInsteadOfReturningAtOnce) {
    device.hang_up();
    const auto start = steady::now();
    EXPECT_FALSE(wait_for_input(200));
    EXPECT_GE(ms_since(start), 190);
    // Closed at once, with the reason kept for the cycle to report.
    EXPECT_EQ(port_handle, PORT_CLOSED);
    EXPECT_EQ(port_lost_error, EIO);
    port_lost_error = 0;
    std::uint8_t byte = 0;
    EXPECT_EQ(read_byte(&byte), LINK_FAILED);
    // The tool's cycle sends into the dead line as well; that must not fail loudly either.
    port_send(greeting_bytes().data(), greeting_bytes().size());
}

TEST(PosixPortOpen, ThePortNeverTakesAStandardDescriptor) {
    const std::vector<std::vector<int>> closed_sets{{0}, {1}, {2}, {1, 2}, {0, 1, 2}};
    for (const std::vector<int>& closed : closed_sets) {
        // A terminal each: a closed port leaves its exclusive flag, which only root passes.
        pty_device device;
        std::vector<int> saved;
        for (const int standard : closed) {
            saved.push_back(fcntl(standard, F_DUPFD_CLOEXEC, 10));
            close(standard);
        }
        port_report report{};
        const std::intptr_t handle = open_port(device.tty_path().c_str(), &report);
        std::size_t still_closed = 0;
        for (std::size_t i = 0; i < closed.size(); ++i) {
            still_closed += fcntl(closed[i], F_GETFD) == -1 ? 1U : 0U;
            dup2(saved[i], closed[i]);
            close(saved[i]);
        }
        const std::size_t shown = closed.size();
        ASSERT_NE(handle, PORT_CLOSED) << shown;
        EXPECT_GT(handle, STDERR_FILENO) << shown;
        // Left closed for the tool's start to deal with; the port's own descriptors are gone.
        EXPECT_EQ(still_closed, closed.size()) << shown;
        EXPECT_EQ(report.route, ROUTE_DEVICE_PATH);
        close(static_cast<int>(handle));
    }
}

TEST(PosixPortOpen, AnyBaudRateIsSetAndReadBackAsAsked) {
    // Standard rates by their codes, others as rates of their own (termios2).
    for (const std::uint32_t baud : {115200U, 9600U, 250000U, 1234567U}) {
        pty_device device;
        port_report report{};
        const std::intptr_t handle =
            open_port(device.tty_path().c_str(), &report, ROUTE_ANY, line_at(baud));
        ASSERT_NE(handle, PORT_CLOSED) << baud;
        ASSERT_TRUE(report.line_known) << baud;
        EXPECT_EQ(report.line.baud, baud);
        close(static_cast<int>(handle));
    }
}

}  // namespace
