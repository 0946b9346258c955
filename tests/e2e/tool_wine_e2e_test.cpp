// The Windows build of the tool, run under Wine, against a device played over a
// pseudo-terminal. Wine's serial layer turns the Win32 communications calls into
// termios calls on whatever the prefix's dosdevices/com<n> link points at, so the
// same kind of device as in the Linux tests serves here, reached as COM5 and COM12.
//
// Run through scripts/wine-env, which provides WINEPREFIX and one wineserver for the
// whole run. Not tested here because Wine cannot show them: that share mode 0 keeps a
// second opener out (Wine does not lock a tty), and so "in use by another program";
// access denied for a device the user may not open (Windows reports that as in use too);
// a line the driver refuses (a pseudo-terminal takes any); the DTR and RTS lines (a
// pseudo-terminal has none); and Windows' coarse Sleep(1).
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/bad_input_rounds.h"
#include "tests/e2e/bounded_run_rounds.h"
#include "tests/e2e/command_line_rounds.h"
#include "tests/e2e/log_lines.h"
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
    scratch_dir dir;
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
    void attach(const pty_device& pty, const std::string& dos_name) {
        const std::filesystem::path link = dos_device(dos_name);
        std::filesystem::remove(link);
        pty.link_as(link);
        links_.push_back(link);
    }

    // Starting Wine can take a while on a busy machine, hence the long wait.
    std::unique_ptr<tool_run> start(const std::vector<std::string>& args = {"COM5"}) {
        auto run = run_windows_tool(args, dir.path());
        EXPECT_TRUE(run->wait_for_output(BANNER, LONG_WAIT)) << run->output();
        return run;
    }

    bool next_greeting() const {
        const byte_string got = device.receive(10, LONG_WAIT);
        EXPECT_EQ(got, greeting_bytes());
        return got == greeting_bytes();
    }

    pty_device device;

  private:
    std::vector<std::filesystem::path> links_;
};

TEST_F(WineTool, UsageHelpAndVersionEndAtOnceWithBareLineFeeds) {
    check_command_lines_that_end_at_once([this](const std::vector<std::string>& args) {
        return run_windows_tool(args, dir.path());
    });
}

TEST_F(WineTool, MalformedOptionsAreRefusedBeforeAnythingIsOpened) {
    check_refused_options([this](const std::vector<std::string>& args) {
        return run_windows_tool(args, dir.path());
    });
}

TEST_F(WineTool, ListShowsEveryPortOfTheSerialcommKeyInNumberOrder) {
    // Wine's mount manager registers the host's serial devices here as the prefix boots;
    // two more, registered out of order, make the order and a two-digit number count.
    const std::string key = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    const std::vector<std::pair<std::string, std::string>> added{{"\\Device\\Serial11", "COM12"},
                                                                 {"\\Device\\Serial4", "COM5"}};
    for (const auto& [device, com] : added) {
        wine_reg({"add", key, "/v", device, "/t", "REG_SZ", "/d", com, "/f"}, dir.path());
    }
    // "    \Device\Serial0    REG_SZ    COM1", by number.
    const std::regex value_line(R"(\s*(\S+)\s+REG_SZ\s+COM([0-9]+)\s*)");
    std::map<int, std::string> values;
    std::istringstream query(wine_reg({"query", key}, dir.path()));
    for (std::string line; std::getline(query, line);) {
        if (std::smatch match; std::regex_match(line, match, value_line)) {
            values[std::stoi(match[2])] = match[1];
        }
    }
    ASSERT_GE(values.size(), added.size());

    const auto list = run_windows_tool({"--list"}, dir.path());
    EXPECT_EQ(list->wait_exit(LONG_WAIT), 0);
    std::istringstream printed(list->output());
    for (const auto& [number, device] : values) {
        std::string line;
        std::getline(printed, line);
        const std::string com = "COM" + std::to_string(number);
        EXPECT_TRUE(line.starts_with(com + ": ")) << com << " in\n" << list->output();
        // Windows knows nothing more of the ports added here than their device names.
        if (std::any_of(added.begin(), added.end(),
                        [&](const auto& a) { return a.second == com; })) {
            EXPECT_EQ(line.substr(com.size() + 2), device);
        }
    }
    EXPECT_EQ(printed.rdbuf()->in_avail(), 0) << list->output();
    for (const auto& [device, com] : added) {
        wine_reg({"delete", key, "/v", device, "/f"}, dir.path());
    }
}

TEST_F(WineToolOverPty, AFailedOpenSaysWhyOnStandardError) {
    // com5 leads to a live device, and Windows names are not case sensitive: only the
    // tool's own parse keeps "com5" out. Below COM10 a name is opened as typed, so
    // Windows takes COM4x and COM5\..\data as relative paths to files; the tool must
    // not greet a file.
    const std::string contents = "a plain file, not a serial port\n";
    std::filesystem::create_directory(dir.path() / "sub");
    std::ofstream(dir.path() / "COM4x") << contents;
    std::ofstream(dir.path() / "data") << contents;
    const std::string bad_name =
        ": not a port name; use COM<n>, such as COM3 (on Linux COM<n> "
        "is a link of that name in the working directory, or else "
        "/dev/ttyS<n-1>)\n";
    const std::vector<std::pair<std::string, std::string>> cases{
        {"com5", bad_name},
        {"", bad_name},
        {"COMx", bad_name},
        {"-", bad_name},
        {"COM1" + std::string(2000, 'x'), bad_name},
        {"COM7", ": no such device (COM7)\n"},
        {"COM", ": no such device (COM)\n"},
        {"COM-1", ": no such device (COM-1)\n"},
        {"COM3x", ": no such device (COM3x)\n"},
        {"COM99999999999", ": no such device (\\\\.\\COM2147483647)\n"},
        {"COM4x", ": not a serial device (COM4x)\n"},
        {"COM5\\..\\data", ": not a serial device (COM5\\..\\data)\n"},
        {"COM5\\..\\sub\\..\\data", ": not a serial device (COM5\\..\\sub\\..\\data)\n"},
    };
    for (const auto& [name, reason] : cases) {
        const auto run = run_windows_tool({name}, dir.path());
        EXPECT_EQ(run->wait_exit(LONG_WAIT), 255) << name.substr(0, 40);
        EXPECT_EQ(run->output(), OPEN_FAILED) << name.substr(0, 40);
        EXPECT_EQ(run->errors(), std::string("tervalo: ").append(name).append(reason))
            << name.substr(0, 40);
    }
    // Neither the device nor the files were written to.
    EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(100)).empty());
    for (const char* file : {"COM4x", "data"}) {
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
    const auto tool = start({"COM5", "COM6", "verbose"});
    EXPECT_TRUE(next_greeting());
}

TEST_F(WineToolOverPty, BoundedRunsEndWithTheirVerdict) {
    play_bounded_runs(
        [this](const std::vector<std::string>& args) { return run_windows_tool(args, dir.path()); },
        "COM5", device, dir.path());
}

TEST_F(WineToolOverPty, PortsFromTenAreReachedThroughTheDeviceNamespace) {
    for (const std::string name : {"COM12", "COM012"}) {
        pty_device port12;
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

TEST_F(WineToolOverPty, APortThatGoesAwayIsReopenedWhenItsNameLeadsToADeviceAgain) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    device.send(frame_bytes(0xA2, "before"));
    ASSERT_TRUE(tool->wait_for_output("[info]:response: before\r\n", SHORT_WAIT)) << tool->output();

    // Both ends closed: Wine's calls on the tty behind COM5 fail from now on. The name
    // goes with the device, as a pulled adapter's does: the freed pseudo-terminal number
    // may be given to another program's terminal meanwhile.
    device.hang_up();
    std::filesystem::remove(dos_device("com5"));
    const std::string lost = "tervalo: COM5: port lost (";
    ASSERT_TRUE(tool->wait_for_errors(lost, LONG_WAIT)) << tool->errors();
    const std::string at_loss = tool->output();
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE + NO_RESPONSE, LONG_WAIT, at_loss.size()))
        << tool->output();
    EXPECT_TRUE(tool->errors().ends_with("); reopening it every cycle\n")) << tool->errors();

    pty_device returned;
    attach(returned, "com5");
    const std::string reopened = "tervalo: COM5: port reopened (COM5)\n";
    ASSERT_TRUE(tool->wait_for_errors(reopened, LONG_WAIT)) << tool->errors();
    ASSERT_EQ(returned.receive(10, LONG_WAIT), greeting_bytes());
    returned.send(frame_bytes(0xA2, "after"));
    EXPECT_TRUE(tool->wait_for_output("[info]:response: after\r\n", SHORT_WAIT)) << tool->output();
    // While the port was away the cycles said only what they say for a silent device.
    const std::string all = tool->output();
    const std::string away =
        all.substr(at_loss.size(), all.find("[info]:response: after") - at_loss.size());
    std::string only_warnings;
    for (std::size_t i = away.size() / NO_RESPONSE.size(); i > 0; --i) {
        only_warnings += NO_RESPONSE;
    }
    EXPECT_EQ(away, only_warnings);
    // One line for each event, nothing else.
    const std::string errors = tool->errors();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 2) << errors;
    EXPECT_TRUE(errors.starts_with(lost)) << errors;
    EXPECT_TRUE(errors.ends_with(reopened)) << errors;
}

TEST_F(WineToolOverPty, BadInputIsReportedAndTheNextCycleWorks) {
    const auto tool = start();
    play_bad_input_rounds(*tool, device, [this] { return next_greeting(); });
}

TEST_F(WineToolOverPty, CtrlCWritesTheSummaryOfWhatTheDeviceSentToStandardError) {
    // Wine turns SIGINT into a Ctrl-C event, handled on a thread of its own as Windows
    // does. Ctrl-Break and a closed console have no such path here: Wine ends a program
    // at SIGQUIT or SIGHUP without an event, so those are not tested.
    constexpr auto REPLY_DELAY = std::chrono::milliseconds(100);
    byte_string broken_then_good{0x5C, 0x41};
    const byte_string good = frame_bytes(0xA2, "two");
    broken_then_good.insert(broken_then_good.end(), good.begin(), good.end());
    const struct {
        byte_string sent;
        std::string printed;
    } rounds[] = {
        {frame_bytes(0xA2, "one"), "[info]:response: one\r\n"},
        {{0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x00},
         "[warn]:[read_packet]: crc error 166 0\r\n" + NO_RESPONSE},
        {broken_then_good, "[warn]:esc char error 0x41\r\n[info]:response: two\r\n"},
        {{0xAD, 0x00, 0x00}, "[warn]:[read_packet]:len error 0\r\n" + NO_RESPONSE},
        {{}, NO_RESPONSE},
    };
    // The log's summary comes from the same handler, on its thread.
    const auto tool = start({"COM5", "--log", "run.jsonl"});
    std::string printed = BANNER;
    for (const auto& round : rounds) {
        ASSERT_TRUE(next_greeting());
        std::this_thread::sleep_for(REPLY_DELAY);
        device.send(round.sent);
        printed += round.printed;
        ASSERT_TRUE(tool->wait_for_output(printed, LONG_WAIT)) << tool->output();
    }
    // In the pause after the last cycle.
    kill(tool->pid(), SIGINT);
    // Wine's default handler ends a program at Ctrl-C with status 0 (Windows' own gives
    // STATUS_CONTROL_C_EXIT); the tool's handler passes the event on to it.
    EXPECT_EQ(tool->wait_exit(LONG_WAIT), 0);
    EXPECT_EQ(tool->output(), printed);

    const std::string counts =
        "--- tervalo summary ---\n"
        "greetings 5, responses 2, 40.0% answered\n"
        "warnings: no response 3, crc 1, escape 1, length 1; port away 0 cycles\n"
        "round trip: min ";
    const std::string summary = tool->errors();
    ASSERT_TRUE(summary.starts_with(counts)) << summary;
    double min = -1;
    double median = -1;
    double p99 = -1;
    double max = -1;
    ASSERT_EQ(
        std::sscanf(summary.c_str() + counts.size(),
                    "%lf ms, median %lf ms, p99 %lf ms, max %lf ms\n", &min, &median, &p99, &max),
        4)
        << summary;
    EXPECT_GE(min, static_cast<double>(REPLY_DELAY.count()) / 2);
    EXPECT_LE(min, median);
    EXPECT_LE(median, p99);
    EXPECT_LE(p99, max);
    EXPECT_LT(max, 1000);
    EXPECT_TRUE(summary.ends_with(" ms\n")) << summary;

    const std::vector<nlohmann::json> lines = read_log_lines(dir.path() / "run.jsonl");
    ASSERT_EQ(lines.size(), 1 + std::size(rounds) + 1);
    const nlohmann::json& last = lines.back();
    EXPECT_EQ(last.value("event", ""), "summary");
    EXPECT_EQ(last.value("end", ""), "ctrl-c");
    for (const auto& [key, value] : std::map<std::string, std::size_t>{{"greetings", 5},
                                                                       {"responses", 2},
                                                                       {"no_response", 3},
                                                                       {"crc", 1},
                                                                       {"escape", 1},
                                                                       {"length", 1},
                                                                       {"port_away", 0}}) {
        EXPECT_EQ(last.value(key, std::size_t{99}), value) << key;
    }
    const std::vector<nlohmann::json> greetings = greeting_lines(lines);
    ASSERT_EQ(greetings.size(), std::size(rounds));
    EXPECT_EQ(greetings[2]["warnings"], nlohmann::json::parse(R"([{"kind":"escape","byte":65}])"));
    EXPECT_EQ(greetings[2].value("payload", ""), "two");
}

}  // namespace
