// The built tool against a device played over a pseudo-terminal.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <thread>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/bad_input_rounds.h"
#include "tests/e2e/tool_harness.h"

namespace {

const std::string BANNER = BANNER_LINE;
const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string OPEN_FAILED = OPEN_FAILED_LINE;

class ToolOverPty : public ::testing::Test {
  protected:
    void SetUp() override { device.link_as(dir.path() / "COM3"); }

    std::unique_ptr<ToolRun> start(const std::string& port = "COM3") {
        auto run =
            std::make_unique<ToolRun>(TERVALO_BINARY, std::vector<std::string>{port}, dir.path());
        EXPECT_TRUE(run->wait_for_output(BANNER, SHORT_WAIT)) << run->output();
        return run;
    }

    // Waits for the next greeting; false (with the reason recorded) if it did not come.
    bool next_greeting() const {
        const byte_string got = device.receive(10, LONG_WAIT);
        EXPECT_EQ(got, greeting_bytes());
        return got == greeting_bytes();
    }

    ScratchDir dir;
    PtyDevice device;
};

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Processor time the program has used over a stretch of real time, in clock ticks.
long cpu_ticks_over(const ToolRun& run, std::chrono::milliseconds stretch) {
    const long before = cpu_ticks_of(run.pid());
    std::this_thread::sleep_for(stretch);
    return cpu_ticks_of(run.pid()) - before;
}

TEST(ToolCommandLine, WithoutAPortPrintsUsageAndFails) {
    ScratchDir dir;
    ToolRun run(TERVALO_BINARY, {}, dir.path());
    EXPECT_EQ(run.wait_exit(SHORT_WAIT), 255);
    EXPECT_EQ(run.output(), USAGE_TEXT);
}

TEST(ToolCommandLine, NamesThatOpenNothingFailWithOneLine) {
    ScratchDir dir;
    std::ofstream(dir.path() / "COM4") << "a plain file, not a terminal";
    std::filesystem::create_symlink("/nonexistent/tty", dir.path() / "COM5");
    const std::vector<std::string> names{"com3",
                                         "COM",
                                         "",
                                         "COM-1",
                                         "COM3x",
                                         "COM4",
                                         "COM5",
                                         "/dev/ptmx",
                                         "COMx",
                                         "COM1" + std::string(2000, 'x'),
                                         "COM99999999999",
                                         "COM5\\..\\..\\etc\\passwd"};
    for (const std::string& name : names) {
        ToolRun run(TERVALO_BINARY, {name}, dir.path());
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), 255) << name.substr(0, 40);
        EXPECT_EQ(run.output(), OPEN_FAILED) << name.substr(0, 40);
    }
}

TEST_F(ToolOverPty, GreetsAndPrintsTheResponseByteForByte) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    const std::string payload = "OK \x01\x7f\xc3\xa9\t|\x11\x13\x5c|";
    device.send(frame_bytes(0xA2, payload));
    const std::string expected = BANNER + printed_line(RESPONSE_FORMAT, payload.c_str());
    EXPECT_TRUE(tool->wait_for_output(expected, SHORT_WAIT)) << tool->output();
    EXPECT_EQ(tool->output(), expected);
    // The cycle goes on.
    EXPECT_TRUE(next_greeting());
}

TEST_F(ToolOverPty, ExtraArgumentsAreIgnored) {
    ToolRun tool(TERVALO_BINARY, {"COM3", "COM4", "--verbose"}, dir.path());
    ASSERT_TRUE(tool.wait_for_output(BANNER, SHORT_WAIT)) << tool.output();
    EXPECT_TRUE(next_greeting());
}

TEST_F(ToolOverPty, ASilentDeviceGetsNoResponseEveryCycle) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(BANNER + NO_RESPONSE, LONG_WAIT)) << tool->output();
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(BANNER + NO_RESPONSE + NO_RESPONSE, LONG_WAIT))
        << tool->output();
}

TEST_F(ToolOverPty, BytesSentDuringThePauseAreDiscardedByTheNextGreeting) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    device.send(frame_bytes(0xA2, "first"));
    ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, "first"), SHORT_WAIT));
    // The tool is pausing now; this frame waits in the line until the next greeting.
    device.send(frame_bytes(0xA2, "stale"));
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(NO_RESPONSE, LONG_WAIT)) << tool->output();
    EXPECT_EQ(tool->output(), BANNER + printed_line(RESPONSE_FORMAT, "first") + NO_RESPONSE);
}

TEST_F(ToolOverPty, ASecondInstanceCannotOpenTheSamePort) {
    const auto first = start();
    {
        ToolRun second(TERVALO_BINARY, {"COM3"}, dir.path());
        EXPECT_EQ(second.wait_exit(SHORT_WAIT), 255);
        EXPECT_EQ(second.output(), OPEN_FAILED);
    }
    // The port is freed when the holder ends, even without a clean-up of its own.
    first->stop();
    const auto third = start();
    EXPECT_TRUE(next_greeting());
}

TEST_F(ToolOverPty, BadInputIsReportedAndTheNextCycleWorks) {
    const auto tool = start();
    play_bad_input_rounds(*tool, device, [this] { return next_greeting(); });
}

TEST_F(ToolOverPty, ADeviceThatGoesAwayLeavesTheToolCyclingAsIfSilent) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE, LONG_WAIT)) << tool->output();
    const long silent_ticks = cpu_ticks_over(*tool, std::chrono::seconds(4));

    device.hang_up();
    const std::string at_hang_up = tool->output();
    const long gone_ticks = cpu_ticks_over(*tool, std::chrono::seconds(4));
    // Two more cycles, each ending in the warning, and nothing else printed.
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE + NO_RESPONSE, LONG_WAIT, at_hang_up.size()))
        << tool->output();
    EXPECT_TRUE(tool->running());
    const std::string all = tool->output();
    std::string expected = BANNER;
    for (std::size_t i = count_of(all, NO_RESPONSE); i > 0; --i) {
        expected += NO_RESPONSE;
    }
    EXPECT_EQ(all, expected);
    // A tool that spun on the hung-up line would use most of a core, hundreds of ticks
    // in four seconds; waiting, it uses a few. The margin absorbs a busy machine.
    EXPECT_LE(gone_ticks, silent_ticks + 40) << "silent " << silent_ticks;
}

TEST_F(ToolOverPty, TheLineIsSetTo921600BaudEightNoneOneWithoutFlowControl) {
    set_wrong_line(device.tty_path());
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    EXPECT_EQ(line_differences(device.tty_path()), "");
}

}  // namespace
