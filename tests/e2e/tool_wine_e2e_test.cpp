// The Windows build of the tool, run under Wine, against a device played over a
// pseudo-terminal. Wine's serial layer turns the Win32 communications calls into
// termios calls on whatever the prefix's dosdevices/com<n> link points at, so the
// same kind of device as in the Linux tests serves here, reached as COM5 and COM12.
//
// Run through scripts/wine-env, which provides WINEPREFIX and one wineserver for the
// whole run. Not tested here because Wine cannot show them: that share mode 0 keeps a
// second opener out (Wine does not lock a tty), the DTR and RTS lines (a pseudo-terminal
// has none), and Windows' coarse Sleep(1).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/bad_input_rounds.h"
#include "tests/e2e/tool_harness.h"
#include "tests/e2e/wine_session.h"

namespace {

const std::string BANNER = BANNER_LINE;
const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string OPEN_FAILED = OPEN_FAILED_LINE;

class WineTool : public ::testing::Test {
  protected:
    void SetUp() override {
        const std::string problem = wine_session_problem();
        ASSERT_EQ(problem, "");
    }
    ScratchDir dir;
};

class WineToolOverPty : public WineTool {
  protected:
    void SetUp() override {
        WineTool::SetUp();
        if (!HasFatalFailure()) {
            attach(device, "com5");
        }
    }
    void TearDown() override {
        for (const auto& link : links_) {
            std::filesystem::remove(link);
        }
    }

    // Makes the device the prefix's port of that name; the port numbers 1 to 4 are left
    // alone because Wine rewrites com1 whenever it boots a prefix.
    void attach(const PtyDevice& pty, const std::string& dos_name) {
        const std::filesystem::path link = dos_device(dos_name);
        std::filesystem::remove(link);
        pty.link_as(link);
        links_.push_back(link);
    }

    // Starting Wine can take a while on a busy machine, hence the long wait.
    std::unique_ptr<ToolRun> start(const std::vector<std::string>& args = {"COM5"}) {
        auto run = run_windows_tool(args, dir.path());
        EXPECT_TRUE(run->wait_for_output(BANNER, LONG_WAIT)) << run->output();
        return run;
    }

    bool next_greeting() const {
        const byte_string got = device.receive(10, LONG_WAIT);
        EXPECT_EQ(got, greeting_bytes());
        return got == greeting_bytes();
    }

    PtyDevice device;

  private:
    std::vector<std::filesystem::path> links_;
};

TEST_F(WineTool, WithoutAPortPrintsUsageWithBareLineFeedsAndFails) {
    const auto run = run_windows_tool({}, dir.path());
    EXPECT_EQ(run->wait_exit(LONG_WAIT), 255);
    EXPECT_EQ(run->output(), USAGE_TEXT);
}

TEST_F(WineToolOverPty, NamesThatOpenNothingFailWithOneLine) {
    // com5 leads to a live device, and Windows names are not case sensitive: only the
    // tool's own parse keeps "com5" out.
    const std::vector<std::string> names{
        "com5",          "COM",   "",     "COM-1",
        "COM7",          "COM3x", "COMx", "COM1" + std::string(2000, 'x'),
        "COM99999999999"};
    for (const std::string& name : names) {
        const auto run = run_windows_tool({name}, dir.path());
        EXPECT_EQ(run->wait_exit(LONG_WAIT), 255) << name.substr(0, 40);
        EXPECT_EQ(run->output(), OPEN_FAILED) << name.substr(0, 40);
    }
    EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(100)).empty());
}

TEST_F(WineTool, NamesLeadingToOrdinaryFilesAreRefusedAndTheFilesLeftAlone) {
    // Below COM10 the name is opened as typed, so Windows takes these as relative paths
    // to files; the tool must not greet a file, nor read its contents as a response.
    const std::string contents = "a plain file, not a serial port\n";
    std::filesystem::create_directory(dir.path() / "sub");
    std::ofstream(dir.path() / "COM3x") << contents;
    std::ofstream(dir.path() / "data") << contents;
    for (const std::string name : {"COM3x", "COM5\\..\\data", "COM5\\..\\sub\\..\\data"}) {
        const auto run = run_windows_tool({name}, dir.path());
        EXPECT_EQ(run->wait_exit(LONG_WAIT), 255) << name;
        EXPECT_EQ(run->output(), OPEN_FAILED) << name;
    }
    for (const char* file : {"COM3x", "data"}) {
        std::ifstream in(dir.path() / file, std::ios::binary);
        const std::string now{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(now, contents) << file;
    }
}

TEST_F(WineToolOverPty, GreetsAndPrintsTheResponseByteForByte) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    // Line ends and Ctrl-Z inside the payload catch a console left in text mode.
    const std::string payload = "OK \x01\x7f\xc3\xa9\t|\x11\x13\x5c|\n|\r\n|\x1a";
    device.send(frame_bytes(0xA2, payload));
    const std::string expected = BANNER + printed_line(RESPONSE_FORMAT, payload.c_str());
    EXPECT_TRUE(tool->wait_for_output(expected, SHORT_WAIT)) << tool->output();
    EXPECT_EQ(tool->output(), expected);
    EXPECT_EQ(tool->output().find("\r\r"), std::string::npos);
    EXPECT_TRUE(next_greeting());
}

TEST_F(WineToolOverPty, TheLineIsSetTo921600BaudEightNoneOneWithoutFlowControl) {
    set_wrong_line(device.tty_path());
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    EXPECT_EQ(line_differences(device.tty_path()), "");
}

TEST_F(WineToolOverPty, ExtraArgumentsAreIgnored) {
    const auto tool = start({"COM5", "COM6", "--verbose"});
    EXPECT_TRUE(next_greeting());
}

TEST_F(WineToolOverPty, PortsFromTenAreReachedThroughTheDeviceNamespace) {
    for (const std::string name : {"COM12", "COM012"}) {
        PtyDevice port12;
        attach(port12, "com12");
        const auto tool = start({name});
        EXPECT_EQ(port12.receive(10, LONG_WAIT), greeting_bytes()) << name;
        port12.send(frame_bytes(0xA2, name));
        EXPECT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, name.c_str()), SHORT_WAIT))
            << tool->output();
    }
    // Nothing went to COM5.
    EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(100)).empty());
}

TEST_F(WineToolOverPty, ASilentDeviceGetsNoResponseEveryCycle) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(BANNER + NO_RESPONSE, LONG_WAIT)) << tool->output();
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(BANNER + NO_RESPONSE + NO_RESPONSE, LONG_WAIT))
        << tool->output();
    EXPECT_EQ(tool->output(), BANNER + NO_RESPONSE + NO_RESPONSE);
}

TEST_F(WineToolOverPty, BytesSentDuringThePauseAreDiscardedByTheNextGreeting) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    device.send(frame_bytes(0xA2, "first"));
    ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, "first"), SHORT_WAIT));
    device.send(frame_bytes(0xA2, "stale"));
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(NO_RESPONSE, LONG_WAIT)) << tool->output();
    EXPECT_EQ(tool->output(), BANNER + printed_line(RESPONSE_FORMAT, "first") + NO_RESPONSE);
}

TEST_F(WineToolOverPty, BadInputIsReportedAndTheNextCycleWorks) {
    const auto tool = start();
    play_bad_input_rounds(*tool, device, [this] { return next_greeting(); });
}

}  // namespace
