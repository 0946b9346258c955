// The built tool against a device played over a pseudo-terminal.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <memory>
#include <regex>
#include <thread>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/bad_input_rounds.h"
#include "tests/e2e/bounded_run_rounds.h"
#include "tests/e2e/command_line_rounds.h"
#include "tests/e2e/log_lines.h"
#include "tests/e2e/tool_harness.h"

namespace {

const std::string BANNER = BANNER_LINE;
const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string OPEN_FAILED = OPEN_FAILED_LINE;

class ToolOverPty : public ::testing::Test {
  protected:
    void SetUp() override { device.link_as(dir.path() / "COM3"); }

    std::unique_ptr<ToolRun> start(const std::vector<std::string>& args = {"COM3"}) {
        auto run = std::make_unique<ToolRun>(TERVALO_BINARY, args, dir.path());
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

TEST(ToolCommandLine, UsageHelpVersionAndListEndAtOnce) {
    ScratchDir dir;
    const start_tool start = [&dir](const std::vector<std::string>& args) {
        return std::make_unique<ToolRun>(TERVALO_BINARY, args, dir.path());
    };
    check_command_lines_that_end_at_once(start);
    check_refused_options(start);
    // What this machine has varies; every line must still name a port the way the
    // manual says, and the list must not be taken for a port name.
    ToolRun list(TERVALO_BINARY, {"--list"}, dir.path());
    EXPECT_EQ(list.wait_exit(SHORT_WAIT), 0);
    const std::regex port_line(
        "((COM[0-9]+(, COM[0-9]+)* -> )?/dev/tty(S|USB|ACM)[0-9]+: [^\n]+\n)+|"
        "no serial ports found\n");
    EXPECT_TRUE(std::regex_match(list.output(), port_line)) << list.output();
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
    ToolRun tool(TERVALO_BINARY, {"COM3", "COM4", "verbose"}, dir.path());
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

TEST_F(ToolOverPty, AFailedOpenSaysWhyOnStandardError) {
    // COM3, the fixture's device, is held by a first instance.
    const auto holder = start();
    const std::string held = device.tty_path();
    std::ofstream(dir.path() / "notes.txt") << "a plain file, not a terminal";
    std::filesystem::create_symlink("notes.txt", dir.path() / "COM4");
    std::filesystem::create_symlink("/nonexistent/tty", dir.path() / "COM5");
    // Opened by the unprivileged user nobody (or, when not root, by its owner after a
    // chmod 000), which may not open a terminal it does not own.
    PtyDevice locked;
    std::filesystem::permissions(locked.tty_path(), std::filesystem::perms::none);
    locked.link_as(dir.path() / "COM6");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);

    const std::string bad_name =
        ": not a port name; use COM<n>, such as COM3 (on Linux COM<n> "
        "is a link of that name in the working directory, or else "
        "/dev/ttyS<n-1>)\n";
    struct open_case {
        std::string name;
        std::string reason;  // what follows "tervalo: <name>"
        bool unprivileged = false;
    };
    const std::vector<open_case> cases{
        {"com3", bad_name},
        {"", bad_name},
        {"COMx", bad_name},
        {"/dev/ptmx", bad_name},
        {"COM1" + std::string(2000, 'x'), bad_name},
        {"-", bad_name},
        {"COM5", ": no such device (/nonexistent/tty)\n"},
        {"COM", ": no such device (COM)\n"},
        {"COM3x", ": no such device (COM3x)\n"},
        {"COM-1", ": no such device (COM-1)\n"},
        {"COM99", ": no such device (/dev/ttyS98)\n"},
        {"COM99999999999", ": no such device (\\\\.\\COM2147483647)\n"},
        {"COM5\\..\\..\\etc\\passwd", ": no such device (COM5\\..\\..\\etc\\passwd)\n"},
        {"COM4", ": not a serial device (notes.txt)\n"},
        {"COM3", ": in use by another program (" + held + ")\n"},
        {"COM6",
         ": permission denied (" + locked.tty_path() +
             "); add yourself to the dialout group (sudo usermod -aG dialout $USER) and log in "
             "again\n",
         true},
    };
    for (const open_case& c : cases) {
        const std::string shown = c.name.substr(0, 40);
        ToolRun run(c.unprivileged ? unprivileged_program(TERVALO_BINARY) : TERVALO_BINARY,
                    c.unprivileged ? unprivileged({TERVALO_BINARY, c.name})
                                   : std::vector<std::string>{c.name},
                    dir.path());
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), 255) << shown;
        EXPECT_EQ(run.output(), OPEN_FAILED) << shown;
        EXPECT_EQ(run.errors(), std::string("tervalo: ").append(c.name).append(c.reason)) << shown;
    }
    EXPECT_TRUE(holder->running());
}

TEST_F(ToolOverPty, APortThatGoesAwayIsReopenedWhenItsNameLeadsToADeviceAgain) {
    // The log changes nothing on the console; what it records is checked at the end.
    const auto tool = start({"COM3", "--log", "run.jsonl"});
    ASSERT_TRUE(next_greeting());
    device.send(frame_bytes(0xA2, "before"));
    ASSERT_TRUE(tool->wait_for_output("[info]:response: before\r\n", SHORT_WAIT)) << tool->output();
    ASSERT_TRUE(next_greeting());
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE, LONG_WAIT)) << tool->output();
    const long silent_ticks = cpu_ticks_over(*tool, std::chrono::seconds(4));

    // Both ends closed, as a pulled adapter leaves it: the name COM3 leads nowhere now.
    device.hang_up();
    const std::string lost =
        "tervalo: COM3: port lost (Input/output error); reopening it every cycle\n";
    ASSERT_TRUE(tool->wait_for_errors(lost, LONG_WAIT)) << tool->errors();
    const std::string at_loss = tool->output();
    const long gone_ticks = cpu_ticks_over(*tool, std::chrono::seconds(4));
    // The cycles keep their timing and say only what they say for a silent device.
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE + NO_RESPONSE, LONG_WAIT, at_loss.size()))
        << tool->output();
    const std::string after_loss = tool->output().substr(at_loss.size());
    std::string only_warnings;
    for (std::size_t i = count_of(after_loss, NO_RESPONSE); i > 0; --i) {
        only_warnings += NO_RESPONSE;
    }
    EXPECT_EQ(after_loss, only_warnings);
    // A tool that spun on the hung-up line would use most of a core, hundreds of ticks
    // in four seconds; waiting, it uses a few. The margin absorbs a busy machine.
    EXPECT_LE(gone_ticks, silent_ticks + 40) << "silent " << silent_ticks;
    EXPECT_EQ(tool->errors(), lost);

    // The device comes back under the same name, on another terminal.
    PtyDevice returned;
    std::filesystem::remove(dir.path() / "COM3");
    returned.link_as(dir.path() / "COM3");
    const std::string reopened = "tervalo: COM3: port reopened (" + returned.tty_path() + ")\n";
    ASSERT_TRUE(tool->wait_for_errors(reopened, LONG_WAIT)) << tool->errors();
    ASSERT_EQ(returned.receive(10, LONG_WAIT), greeting_bytes());
    returned.send(frame_bytes(0xA2, "after"));
    EXPECT_TRUE(tool->wait_for_output("[info]:response: after\r\n", SHORT_WAIT)) << tool->output();
    EXPECT_EQ(tool->errors(), lost + reopened);

    // Stopped now, its summary counts the cycles that began with the port away: every
    // no-response cycle after the loss but the one that found it (which may have printed
    // its line before the loss was seen here).
    kill(tool->pid(), SIGINT);
    ASSERT_NE(tool->wait_exit(SHORT_WAIT), -1);
    const std::size_t after_loss_cycles =
        count_of(tool->output().substr(at_loss.size()), NO_RESPONSE);
    const std::string errors = tool->errors();
    std::smatch found;
    ASSERT_TRUE(std::regex_search(errors, found, std::regex("port away ([0-9]+) cycles\n")))
        << errors;
    const std::size_t away_cycles = std::stoul(found[1]);
    EXPECT_GE(away_cycles, 1u) << errors;
    EXPECT_LE(away_cycles, after_loss_cycles) << errors;
    EXPECT_GE(away_cycles + 1, after_loss_cycles) << errors;

    // The log: the start, the loss and the return in their places among the greetings,
    // the cycles away as such, and the summary of the stop last.
    const std::vector<nlohmann::json> lines = read_log_lines(dir.path() / "run.jsonl");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front().value("event", ""), "start");
    EXPECT_EQ(lines.front().value("path", ""), device.tty_path());
    std::vector<std::string> events;
    std::size_t away_lines = 0;
    for (const nlohmann::json& line : lines) {
        if (line.contains("event")) {
            events.push_back(line.value("event", ""));
        } else if (line.value("result", "") == "port_away") {
            ++away_lines;
            EXPECT_EQ(events.back(), "port_lost") << line.dump();
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"start", "port_lost", "port_reopened", "summary"}));
    EXPECT_EQ(away_lines, away_cycles);
    EXPECT_EQ(event_lines(lines, "port_lost")[0].value("reason", ""), "Input/output error");
    EXPECT_EQ(event_lines(lines, "port_reopened")[0].value("path", ""), returned.tty_path());
    const nlohmann::json& summary = lines.back();
    EXPECT_EQ(summary.value("end", ""), "SIGINT");
    EXPECT_EQ(summary.value("port_away", std::size_t{0}), away_cycles);
    EXPECT_EQ(summary.value("greetings", std::size_t{0}), greeting_lines(lines).size());
    EXPECT_FALSE(summary.contains("passed"));
}

TEST_F(ToolOverPty, BoundedRunsEndWithTheirVerdict) {
    play_bounded_runs(
        [this](const std::vector<std::string>& args) {
            return std::make_unique<ToolRun>(TERVALO_BINARY, args, dir.path());
        },
        "COM3", device, dir.path());
}

TEST_F(ToolOverPty, SigquitWritesTheSummarySoFarAndTheRunGoesOn) {
    const auto tool = start();
    for (const char* reply : {"one", "two"}) {
        ASSERT_TRUE(next_greeting());
        device.send(frame_bytes(0xA2, reply));
        ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, reply), SHORT_WAIT));
    }
    kill(tool->pid(), SIGQUIT);
    const std::string so_far =
        "--- tervalo summary ---\ngreetings 2, responses 2, 100.0% answered\n";
    ASSERT_TRUE(tool->wait_for_errors(so_far, SHORT_WAIT)) << tool->errors();
    ASSERT_TRUE(next_greeting());
    device.send(frame_bytes(0xA2, "three"));
    ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, "three"), SHORT_WAIT));
    EXPECT_TRUE(tool->running());
    kill(tool->pid(), SIGTERM);
    ASSERT_NE(tool->wait_exit(SHORT_WAIT), -1);
    EXPECT_EQ(tool->end_signal(), SIGTERM);
    const std::string errors = tool->errors();
    EXPECT_EQ(count_of(errors, "--- tervalo summary ---\n"), 2u) << errors;
    EXPECT_NE(errors.find("greetings 3, responses 3, 100.0% answered\n", so_far.size()),
              std::string::npos)
        << errors;
}

TEST_F(ToolOverPty, ALogThatCannotBeWrittenIsReportedOnceAndTheLinkGoesOn) {
    // /dev/full opens for appending and fails every write, as a full disk would.
    ToolRun tool(TERVALO_BINARY, {"--log", "/dev/full", "-c", "3", "COM3"}, dir.path());
    for (const char* reply : {"a", "b", "c"}) {
        ASSERT_TRUE(next_greeting());
        device.send(frame_bytes(0xA2, reply));
    }
    EXPECT_EQ(tool.wait_exit(LONG_WAIT), 0) << tool.errors();
    EXPECT_EQ(tool.output(), BANNER + printed_line(RESPONSE_FORMAT, "a") +
                                 printed_line(RESPONSE_FORMAT, "b") +
                                 printed_line(RESPONSE_FORMAT, "c"));
    const std::string errors = tool.errors();
    EXPECT_TRUE(
        errors.starts_with("tervalo: --log /dev/full: write failed (No space left on "
                           "device); no more lines go to it\n--- tervalo summary ---\n"))
        << errors;
    EXPECT_EQ(count_of(errors, "\n"), 5u) << errors;
}

TEST_F(ToolOverPty, TheLineIsSetTo921600BaudEightNoneOneWithoutFlowControl) {
    set_wrong_line(device.tty_path());
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    EXPECT_EQ(line_differences(device.tty_path()), "");
}

}  // namespace
