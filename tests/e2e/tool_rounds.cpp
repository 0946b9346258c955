#include "tests/e2e/tool_rounds.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <thread>

#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/bad_input_rounds.h"
#include "tests/e2e/bounded_run_rounds.h"
#include "tests/e2e/log_lines.h"

namespace {

const std::string BANNER = BANNER_LINE;
const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string OPEN_FAILED = OPEN_FAILED_LINE;

// Processor time the program has used over a stretch of real time, in clock ticks.
long cpu_ticks_over(const tool_run& run, std::chrono::milliseconds stretch) {
    const long before = cpu_ticks_of(run.pid());
    std::this_thread::sleep_for(stretch);
    return cpu_ticks_of(run.pid()) - before;
}

// Whether text is nothing but no-response lines.
bool only_no_response(const std::string& text) {
    std::string expected;
    while (expected.size() < text.size()) {
        expected += NO_RESPONSE;
    }
    return text == expected;
}

// One run, with arguments after the port name that are ignored, on a line the tool must
// set first: a response printed byte for byte, then a frame sent in the pause that the
// next greeting discards, then a silent cycle; each cycle says exactly its line.
void prints_responses_and_no_response(const tool_target& target, pty_device& device) {
    set_wrong_line(device);
    const auto tool = start_to_banner(target, {target.port, "COM6", "verbose"});
    ASSERT_TRUE(next_greeting(device));
    EXPECT_EQ(line_differences(device), "");
    // Line ends and Ctrl-Z inside the payload catch a console left in text mode.
    const std::string payload = "OK \x01\x7f\xc3\xa9\t|\x11\x13\x5c|\n|\r\n|\x1a";
    device.send(frame_bytes(FRAME_TYPE_TEXT, payload));
    std::string expected = BANNER + printed_line(RESPONSE_FORMAT, payload.c_str());
    ASSERT_TRUE(tool->wait_for_output(expected, SHORT_WAIT)) << tool->output();
    EXPECT_EQ(tool->output().find("\r\r"), std::string::npos);
    // The tool is pausing now; this frame waits in the line until the next greeting.
    device.send(frame_bytes(FRAME_TYPE_TEXT, "stale"));
    for (int silent_cycle = 0; silent_cycle < 2; ++silent_cycle) {
        ASSERT_TRUE(next_greeting(device));
        expected += NO_RESPONSE;
        EXPECT_TRUE(tool->wait_for_output(expected, LONG_WAIT)) << tool->output();
    }
    EXPECT_EQ(tool->output(), expected);
    EXPECT_EQ(tool->errors(), "tervalo: ignoring extra arguments \"COM6\" and 1 more\n");
}

// --wait: the cycles before a missing port appears are neither greetings nor losses;
// with -D the lines that tell of it are stamped. -w bounds the wait: a port that never
// comes fails the run at its deadline, saying why.
void waits_for_a_missing_port(const tool_target& target, pty_device& device) {
    target.detach();
    const auto never = start_to_banner(target, {"--wait", "-w", "1.5", target.port});
    EXPECT_EQ(never->wait_exit(LONG_WAIT), 1) << never->errors();
    EXPECT_EQ(never->output(), BANNER);
    EXPECT_TRUE(std::regex_search(never->errors(),
                                  std::regex("\nverdict: failed, no greeting sent, limit 0%; the "
                                             "port never opened: no such device \\(.+\\)\n$")))
        << never->errors();

    const auto tool = start_to_banner(target, {"--wait", "-D", "-c", "1", "-i", "0.2", "-W", "0.3",
                                               "--log", "wait.jsonl", target.port});
    ASSERT_TRUE(tool->wait_for_errors("trying every cycle\n", LONG_WAIT)) << tool->errors();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // two tries and more
    target.attach(device);
    ASSERT_TRUE(next_greeting(device));
    device.send(frame_bytes(FRAME_TYPE_TEXT, "found"));
    EXPECT_EQ(tool->wait_exit(LONG_WAIT), 0) << tool->errors();
    EXPECT_EQ(tool->output().find(NO_RESPONSE), std::string::npos) << tool->output();
    const std::regex told("\\S+ tervalo: " + target.port +
                          ": no such device.*; waiting for (it|a link \\S+ here), trying every "
                          "cycle\n\\S+ tervalo: " +
                          target.port + ": port found \\(" + target.reopened_path(device) +
                          "\\)\n--- tervalo summary ---\ngreetings 1, responses 1, "
                          "[\\s\\S]*port away 0 cycles\n[\\s\\S]*verdict: passed[^\n]*\n");
    EXPECT_TRUE(std::regex_match(tool->errors(), told)) << tool->errors();
    // The record names only what was opened.
    const std::vector<nlohmann::json> lines = read_log_lines(target.dir / "wait.jsonl");
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.front().at("path").is_null()) << lines.front().dump();
    EXPECT_EQ(event_lines(lines, "port_reopened").at(0).value("path", ""),
              target.reopened_path(device));
}

// Names outside ASCII, as typed: the files, and the folder they are in, are the ones
// named, the metrics label the file so, and a folder of such a name is no file for either.
void takes_paths_as_typed(const tool_target& target, pty_device& device) {
    const std::string folder = "Ördner-é";
    std::filesystem::create_directory(target.dir / folder);
    std::filesystem::create_directory(target.dir / "dir-é.prom");
    const auto tool = start_to_banner(target, {"-c", "1", "--metrics", folder + "/mé-日本.prom",
                                               "--log", folder + "/lé-日.jsonl", target.port});
    ASSERT_TRUE(next_greeting(device));
    device.send(frame_bytes(FRAME_TYPE_TEXT, "ok"));
    EXPECT_EQ(tool->wait_exit(LONG_WAIT), 0) << tool->errors();
    EXPECT_EQ(read_log_lines(target.dir / folder / "lé-日.jsonl").size(), 3);
    std::ifstream metrics(target.dir / folder / "mé-日本.prom");
    const std::string text{std::istreambuf_iterator<char>(metrics), {}};
    EXPECT_TRUE(std::regex_search(text, std::regex("file=\"[^\"]*Ördner-é.{1,2}mé-日本\\.prom\"")))
        << text;
    for (const auto& [option, reason] :
         {std::pair{"--metrics", ": cannot write it (not a regular file)\n"},
          std::pair{"--log", ": cannot open it for appending (not a regular file or a pipe)\n"}}) {
        const auto refused = target.start({option, "dir-é.prom", target.port});
        EXPECT_EQ(refused->wait_exit(LONG_WAIT), 255) << option;
        EXPECT_EQ(refused->errors(), std::string("tervalo: ") + option + " dir-é.prom" + reason);
    }
}

}  // namespace

std::unique_ptr<tool_run> start_to_banner(const tool_target& target,
                                          const std::vector<std::string>& args) {
    auto run = target.start(args);
    EXPECT_TRUE(run->wait_for_output(BANNER, LONG_WAIT)) << run->output();
    return run;
}

bool next_greeting(const pty_device& device) {
    const byte_string got = device.receive(10, LONG_WAIT);
    EXPECT_EQ(got, greeting_bytes());
    return got == greeting_bytes();
}

std::vector<tool_round> same_rounds() {
    return {
        {"CommandLinesThatEndAtOnceOrAreRefusedPrintNothingElse",
         [](const tool_target& target, pty_device&) {
             check_command_lines_that_end_at_once(target.start);
             check_refused_options(target.start);
         }},
        {"SetsTheLineAndPrintsResponsesByteForByteAndNoResponseForStaleBytesOrSilence",
         prints_responses_and_no_response},
        {"BadInputIsReportedAndTheNextCycleWorks",
         [](const tool_target& target, pty_device& device) {
             const auto tool = start_to_banner(target, {target.port, "--log", "bad.jsonl"});
             play_bad_input_rounds(
                 *tool, device, [&device] { return next_greeting(device); },
                 target.dir / "bad.jsonl");
         }},
        {"AMissingPortIsWaitedForWithWait", waits_for_a_missing_port},
        {"PathsOutsideAsciiAreTakenAsTyped", takes_paths_as_typed},
        {"BoundedRunsEndWithTheirVerdict",
         [](const tool_target& target, const pty_device& device) {
             play_bounded_runs(target.start, target.port, device, target.dir);
         }},
    };
}

std::vector<open_case> open_failures_alike(const std::string& bad_name) {
    return {
        {"", bad_name},
        {"COMx", bad_name},
        {"-", bad_name},
        {"COM1" + std::string(2000, 'x'), bad_name},
        {"COM", ": no such device (COM)\n"},
        {"COM3x", ": no such device (COM3x)\n"},
        {"COM-1", ": no such device (COM-1)\n"},
    };
}

void check_open_failures(const start_tool& start, const std::vector<open_case>& cases) {
    for (const open_case& c : cases) {
        const std::string shown = c.name.substr(0, 40);
        const auto run = start({c.name});
        EXPECT_EQ(run->wait_exit(LONG_WAIT), 255) << shown;
        EXPECT_EQ(run->output(), OPEN_FAILED) << shown;
        EXPECT_EQ(run->errors(), std::string("tervalo: ").append(c.name).append(c.reason)) << shown;
    }
}

port_loss_seen play_port_loss_and_return(const tool_target& target, tool_run& tool,
                                         pty_device& device) {
    port_loss_seen seen;
    const std::string port = "tervalo: " + target.port + ": ";
    [&] {
        ASSERT_TRUE(next_greeting(device));
        device.send(frame_bytes(FRAME_TYPE_TEXT, "before"));
        ASSERT_TRUE(tool.wait_for_output(printed_line(RESPONSE_FORMAT, "before"), SHORT_WAIT))
            << tool.output();
        ASSERT_TRUE(next_greeting(device));
        ASSERT_TRUE(tool.wait_for_output(NO_RESPONSE, LONG_WAIT)) << tool.output();
        const long silent_ticks =
            target.cpu_time_known ? cpu_ticks_over(tool, std::chrono::seconds(4)) : 0;

        // The name goes first: once both ends are closed the terminal's name is free, and
        // another terminal (a parallel test's, a new shell's) may take it.
        target.detach();
        device.hang_up();
        ASSERT_TRUE(tool.wait_for_errors(port + "port lost (", LONG_WAIT)) << tool.errors();
        seen.output_at_loss = tool.output().size();
        const long gone_ticks =
            target.cpu_time_known ? cpu_ticks_over(tool, std::chrono::seconds(4)) : 0;
        ASSERT_TRUE(tool.wait_for_output(NO_RESPONSE + NO_RESPONSE, LONG_WAIT, seen.output_at_loss))
            << tool.output();
        seen.lost = tool.errors();
        EXPECT_TRUE(seen.lost.ends_with("); reopening it every cycle\n")) << seen.lost;
        EXPECT_EQ(seen.lost.find('\n'), seen.lost.size() - 1) << seen.lost;
        // A tool that spun on the hung-up line would use most of a core, hundreds of ticks
        // in four seconds; waiting, it uses a few. The margin absorbs a busy machine.
        EXPECT_LE(gone_ticks, silent_ticks + 40) << "silent " << silent_ticks;

        // The device comes back under the same name, on another terminal.
        seen.again = std::make_unique<pty_device>();
        target.attach(*seen.again);
        const std::string reopened =
            port + "port reopened (" + target.reopened_path(*seen.again) + ")\n";
        ASSERT_TRUE(tool.wait_for_errors(seen.lost + reopened, LONG_WAIT)) << tool.errors();
        ASSERT_EQ(seen.again->receive(10, LONG_WAIT), greeting_bytes());
        seen.again->send(frame_bytes(FRAME_TYPE_TEXT, "after"));
        const std::string after = printed_line(RESPONSE_FORMAT, "after");
        ASSERT_TRUE(tool.wait_for_output(after, SHORT_WAIT)) << tool.output();
        // While the port was away the cycles said only what they say for a silent device,
        // and the errors one line for each event.
        const std::string all = tool.output();
        const std::size_t from = seen.output_at_loss;
        EXPECT_TRUE(only_no_response(all.substr(from, all.find(after) - from))) << all;
        EXPECT_EQ(tool.errors(), seen.lost + reopened);
    }();
    return seen;
}
