#include "tests/e2e/tool_rounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/log_lines.h"
#include "tests/tables.h"

namespace {

const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string SUMMARY = "--- tervalo summary ---\n";
// Short cycles: the tests answer at once, and a silence is given up after a fifth of a second.
const std::vector<std::string> FAST{"-i", "0.05", "-W", "0.2"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Whether text is as expected: the whole of it, or, where expected holds '|', text starts
// with its first part and holds the others.
bool matches(const std::string& text, const std::string& expected) {
    if (expected.find('|') == std::string::npos) {
        return text == expected;
    }
    std::istringstream split(expected);
    std::string part;
    std::getline(split, part, '|');
    bool all = text.starts_with(part);
    while (std::getline(split, part, '|')) {
        all = all && text.find(part) != std::string::npos;
    }
    return all;
}

// Runs that end at once (tables/tool_command_lines.tsv): the usage, the version and the
// help print only that; malformed options are refused before anything is opened, in one
// line that names the option and what it takes; names that are no port's fail the open;
// and the log of a run whose port never opened still holds its start and a summary saying
// why.
void ends_at_once_or_is_refused(const tool_target& target, pty_device&) {
    const auto filled = [&target](std::string text) {
        for (const auto& [mark, value] :
             {std::pair<std::string, std::string>{"@VERSION", TERVALO_VERSION},
              {"@bad", target.bad_name}}) {
            if (const std::size_t at = text.find(mark); at != std::string::npos) {
                text.replace(at, mark.size(), value);
            }
        }
        return text;
    };
    for (const table_row& row : table("tool_command_lines")) {
        std::vector<std::string> args(row.begin() + 3, row.end());
        std::replace(args.begin(), args.end(), std::string(1, '\0'), std::string());
        const auto run = target.start(args);
        SCOPED_TRACE(row[2].substr(0, 80));
        EXPECT_EQ(run->wait_exit(LONG_WAIT), std::stoi(row[0]));
        const std::string output = run->output();
        const std::string errors = run->errors();
        EXPECT_TRUE(matches(output, filled(row[1]))) << output;
        EXPECT_TRUE(matches(errors, filled(row[2]))) << errors;
        EXPECT_TRUE(errors.empty() || errors.find('\n') == errors.size() - 1) << errors;
        if (row[1].find('\r') == std::string::npos) {
            EXPECT_FALSE(std::regex_search(output, std::regex("\r|[^\n]{81}"))) << output;
        }
    }
    check_open_failures(target.start, {{"COM1" + std::string(2000, 'x'), target.bad_name}});
    EXPECT_EQ(target.start({"--log", "never.jsonl", "-c", "2", "COM3x"})->wait_exit(LONG_WAIT),
              255);
    const std::vector<nlohmann::json> lines = read_log_lines(target.dir / "never.jsonl");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(lines[0].at("path").is_null());
    EXPECT_EQ(lines[1].value("end", ""), "open_failed");
    EXPECT_EQ(lines[1].value("reason", ""), "no such device (COM3x)");
    EXPECT_FALSE(lines[1].value("passed", true)) << "a bounded run that never began failed";
    EXPECT_EQ(lines[0].value("run", "0"), lines[1].value("run", "1"));
}

// One run, with arguments after the port name that are ignored, on a line the tool must
// set first: a response printed byte for byte, a silent cycle, then bad input of every
// kind, each answered by a good reply in the next cycle. Each cycle says exactly its
// lines, the log gives each bad input its cause, and the run goes on.
void prints_responses_and_reports_bad_input(const tool_target& target, pty_device& device) {
    set_wrong_line(device);
    const auto tool =
        start_to_banner(target, with(FAST, {"--log", "bad.jsonl", target.port, "COM6", "x"}));
    ASSERT_TRUE(next_greeting(device));
    EXPECT_EQ(line_differences(device), "");
    // Line ends and Ctrl-Z inside the payload catch a console left in text mode.
    const std::string payload = "OK \x01\x7f\xc3\xa9\t|\x11\x13\x5c|\n|\r\n|\x1a";
    device.send(frame_bytes(FRAME_TYPE_TEXT, payload));
    const std::string expected = BANNER + printed_line(RESPONSE_FORMAT, payload.c_str());
    ASSERT_TRUE(tool->wait_for_output(expected, SHORT_WAIT)) << tool->output();
    ASSERT_TRUE(next_greeting(device));
    ASSERT_TRUE(tool->wait_for_output(expected + NO_RESPONSE, LONG_WAIT)) << tool->output();
    EXPECT_EQ(tool->output(), expected + NO_RESPONSE);

    std::mt19937 random(20261208);  // deterministic noise, 0x03 and friends included
    byte_string noise(300);
    std::generate(noise.begin(), noise.end(), [&] { return static_cast<std::uint8_t>(random()); });
    const byte_string good = frame_bytes(FRAME_TYPE_TEXT, "fine");
    const std::string good_line = printed_line(RESPONSE_FORMAT, "fine");
    const struct {
        byte_string bytes;
        std::string printed;  // exact, or empty when the outcome is not fixed
        std::string cause;    // in the log, or empty when not fixed
    } inputs[] = {
        {{0x01, 0x02, 0xAD, 0x00, 0x00}, printed_line(LENGTH_ERROR_FORMAT, 0), "bad_frame"},
        {{0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x00},
         printed_line(CHECK_ERROR_FORMAT, 166, 0),
         "bad_frame"},
        {{0x5C, 0x41}, printed_line(ESCAPE_ERROR_FORMAT, 0x41), "bad_frame"},
        {byte_string(good.begin(), good.end() - 2), "", "cut"},
        {{0xAD, 0xFF, 0xFF, 0xA2, 'x'}, "", "cut"},  // absurd length, then silence
        {noise, "?", ""},
        {frame_bytes(0xA1, "fine"), "", "other_type"},
    };
    const std::string silent_then_good = NO_RESPONSE + good_line;
    std::size_t seen = tool->output().size();
    for (const auto& input : inputs) {
        ASSERT_TRUE(next_greeting(device));
        device.send(input.bytes);
        ASSERT_TRUE(next_greeting(device));
        device.send(good);
        ASSERT_TRUE(tool->wait_for_output(good_line, LONG_WAIT, seen)) << tool->output();
        const std::string round = tool->output().substr(seen);
        seen += round.size();
        if (input.printed != "?") {
            EXPECT_EQ(round, input.printed + silent_then_good);
        }
    }
    ASSERT_TRUE(tool->running());
    EXPECT_EQ(tool->errors(), "tervalo: ignoring extra arguments \"COM6\" and 1 more\n");
    const std::vector<nlohmann::json> greetings =
        greeting_lines(read_log_lines(target.dir / "bad.jsonl"));
    ASSERT_GE(greetings.size(), 2 + 2 * std::size(inputs) - 1);
    for (std::size_t i = 0; i < std::size(inputs); ++i) {
        if (!inputs[i].cause.empty()) {
            EXPECT_EQ(greetings[2 + 2 * i].at("cause").value("kind", ""), inputs[i].cause) << i;
        }
    }
}

// --wait: the cycles before a missing port appears are neither greetings nor losses; with
// -D the lines that tell of it are stamped. -w bounds the wait: a port that never comes
// fails the run at its deadline, saying why.
void waits_for_a_missing_port(const tool_target& target, pty_device& device) {
    target.detach();
    const auto never = start_to_banner(target, {"--wait", "-w", "1", target.port});
    EXPECT_EQ(never->wait_exit(LONG_WAIT), 1) << never->errors();
    EXPECT_EQ(never->output(), BANNER);
    EXPECT_TRUE(std::regex_search(never->errors(),
                                  std::regex("\nverdict: failed, no greeting sent, limit 0%; the "
                                             "port never opened: no such device \\(.+\\)\n$")))
        << never->errors();

    const auto tool = start_to_banner(
        target, {"--wait", "-D", "-c", "1", "-i", "0.1", "--log", "wait.jsonl", target.port});
    ASSERT_TRUE(tool->wait_for_errors("trying every cycle\n", LONG_WAIT)) << tool->errors();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // some tries in vain
    target.attach(device);
    ASSERT_TRUE(next_greeting(device));
    device.send(frame_bytes(FRAME_TYPE_TEXT, "found"));
    EXPECT_EQ(tool->wait_exit(LONG_WAIT), 0) << tool->errors();
    EXPECT_EQ(tool->output().find(NO_RESPONSE), std::string::npos) << tool->output();
    const std::regex told("\\S+ tervalo: " + target.port +
                          ": no such device.*; waiting for (it|a link \\S+ here), trying every "
                          "cycle\n\\S+ tervalo: " +
                          target.port + ": port found \\(" + target.reopened_path(device) +
                          "\\)\n" + SUMMARY +
                          "greetings 1, responses 1, "
                          "[\\s\\S]*port away 0 cycles\n[\\s\\S]*verdict: passed[^\n]*\n");
    EXPECT_TRUE(std::regex_match(tool->errors(), told)) << tool->errors();
    // The record names only what was opened.
    const std::vector<nlohmann::json> lines = read_log_lines(target.dir / "wait.jsonl");
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(lines.front().at("path").is_null()) << lines.front().dump();
    const auto found = std::find_if(lines.begin(), lines.end(), [](const nlohmann::json& line) {
        return line.value("event", "") == "port_reopened";
    });
    ASSERT_NE(found, lines.end());
    EXPECT_EQ(found->value("path", ""), target.reopened_path(device));
}

// Names outside ASCII, as typed: the files, and the folder they are in, are the ones
// named, the metrics label the file so, and a folder of such a name is no file for either.
// The log was left mid-line by a killed run: the cut line keeps a line of its own.
void takes_paths_as_typed(const tool_target& target, pty_device& device) {
    const std::filesystem::path folder = target.dir / "Ördner-é";
    std::filesystem::create_directory(folder);
    std::filesystem::create_directory(target.dir / "dir-é.prom");
    const std::string cut = R"({"t":"2026-12-08T14:03:07.4)";
    std::ofstream(folder / "lé-日.jsonl") << cut;
    const auto tool = start_to_banner(target, {"-c", "1", "--metrics", "Ördner-é/mé-日本.prom",
                                               "--log", "Ördner-é/lé-日.jsonl", target.port});
    ASSERT_TRUE(next_greeting(device));
    device.send(frame_bytes(FRAME_TYPE_TEXT, "ok"));
    EXPECT_EQ(tool->wait_exit(LONG_WAIT), 0) << tool->errors();
    const std::string log = contents_of(folder / "lé-日.jsonl");
    EXPECT_TRUE(log.starts_with(cut + "\n{")) << log;
    std::ofstream(folder / "lé-日.jsonl", std::ios::binary) << log.substr(cut.size() + 1);
    EXPECT_EQ(read_log_lines(folder / "lé-日.jsonl").size(), 3);
    const std::string metrics = contents_of(folder / "mé-日本.prom");
    EXPECT_TRUE(
        std::regex_search(metrics, std::regex("file=\"[^\"]*Ördner-é.{1,2}mé-日本\\.prom\"")))
        << metrics;
    for (const auto& [option, reason] :
         {std::pair{"--metrics", ": cannot write it (not a regular file)\n"},
          std::pair{"--log", ": cannot open it for appending (not a regular file or a pipe)\n"}}) {
        const auto refused = target.start({option, "dir-é.prom", target.port});
        EXPECT_EQ(refused->wait_exit(LONG_WAIT), 255) << option;
        EXPECT_EQ(refused->errors(), std::string("tervalo: ") + option + " dir-é.prom" + reason);
    }
}

// "2026-12-08T14:03:07.412+11:00 " before a line with -D, in the runs' zone: far from most
// test machines' and named as Linux reads TZ (Wine takes the system's zone from it too),
// ten hours ahead of UTC, eleven in its summer.
const std::regex STAMPED_LINE(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}\+1[01]:00 ([^\n]*\n))");

void check_log(const std::filesystem::path& path, const std::string& port,
               const std::vector<std::optional<std::string>>& answers, int status) {
    const std::vector<nlohmann::json> lines = read_log_lines(path);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().value("port", ""), port);
    EXPECT_EQ(lines.front().at("options").value("count", std::size_t{0}), answers.size());
    const std::vector<nlohmann::json> greetings = greeting_lines(lines);
    ASSERT_EQ(greetings.size(), answers.size());
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const nlohmann::json& line = greetings[i];
        EXPECT_EQ(line.value("seq", std::size_t{0}), i + 1);
        EXPECT_EQ(line.value("result", ""), answers[i] ? "response" : "no_response");
        EXPECT_EQ(latin1_bytes(line.value("payload", "")), answers[i].value_or(""));
        EXPECT_EQ(line.contains("rtt_us") && line.at("rtt_us").is_number_integer(),
                  answers[i].has_value())
            << line.dump();
        EXPECT_EQ(line.contains("cause"), !answers[i].has_value()) << line.dump();
    }
    const nlohmann::json& summary = lines.back();
    EXPECT_EQ(summary.value("end", ""), "count");
    EXPECT_EQ(summary.value("greetings", std::size_t{0}), answers.size());
    EXPECT_EQ(summary.value("passed", status != 0), status == 0);
    for (const nlohmann::json& line : lines) {
        EXPECT_EQ(line.value("run", ""), summary.value("run", "none")) << line.dump();
    }
}

// Bounded runs (tables/tool_bounded_runs.tsv). Checks the exit status, that no greeting
// follows the last, standard output, the summary's counts, pace and verdict, and the log.
void ends_bounded_runs_with_their_verdict(const tool_target& target, pty_device& device) {
    setenv("TZ", "Australia/Sydney", 1);
    for (const table_row& row : table("tool_bounded_runs")) {
        std::vector<std::string> args(row.begin() + 3, row.end());
        std::replace(args.begin(), args.end(), std::string("@port"), target.port);
        const auto has = [&args](const char* option) {
            return std::find(args.begin(), args.end(), option) != args.end();
        };
        if (!has("-i")) {
            args = with(FAST, args);
        }
        std::vector<std::optional<std::string>> replies;
        std::istringstream split(row[1]);
        for (std::string reply; std::getline(split, reply, ',');) {
            replies.push_back(reply == "-" ? std::nullopt : std::optional(reply));
        }
        SCOPED_TRACE(row[1] + " " + args.back());
        std::filesystem::remove(target.dir / "run.jsonl");  // the log is appended to
        const auto tool = target.start(args);
        std::string expected = BANNER;
        std::size_t responses = 0;
        for (const auto& reply : replies) {
            ASSERT_TRUE(next_greeting(device));
            if (reply) {
                device.send(frame_bytes(FRAME_TYPE_TEXT, *reply));
                responses++;
            }
            expected += has("-qc") ? ""
                        : reply    ? printed_line(RESPONSE_FORMAT, reply->c_str())
                                   : NO_RESPONSE;
        }
        const int status = std::stoi(row[0]);
        ASSERT_EQ(tool->wait_exit(LONG_WAIT), status) << tool->errors();
        EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(100)).empty());
        const std::string output = tool->output();
        EXPECT_EQ(has("-D") ? std::regex_replace(output, STAMPED_LINE, "$1") : output, expected);
        const std::string errors = tool->errors();
        EXPECT_TRUE(errors.starts_with(SUMMARY + "greetings " + std::to_string(replies.size()) +
                                       ", responses " + std::to_string(responses) + ", "))
            << errors;
        EXPECT_NE(errors.find(status == 0 ? "\nverdict: passed, " : "\nverdict: failed, "),
                  std::string::npos)
            << errors;
        EXPECT_NE(errors.find(row[2]), std::string::npos) << errors;
        if (has("--log")) {
            check_log(target.dir / "run.jsonl", target.port, replies, status);
        }
        if (has("--baud=115200")) {
            EXPECT_EQ(line_differences(device), "speed is not 921600; ");
        }
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
        {"CommandLinesThatEndAtOnceOrAreRefusedPrintNothingElse", ends_at_once_or_is_refused},
        {"SetsTheLineAndPrintsResponsesByteForByteAndBadInputAsSuch",
         prints_responses_and_reports_bad_input},
        {"AMissingPortIsWaitedForWithWait", waits_for_a_missing_port},
        {"PathsOutsideAsciiAreTakenAsTypedAndACutLogLineStaysCut", takes_paths_as_typed},
        {"BoundedRunsEndWithTheirVerdict", ends_bounded_runs_with_their_verdict},
    };
}

void check_open_failures(const start_tool& start, const std::vector<open_case>& cases) {
    for (const open_case& c : cases) {
        const std::string shown = c.name.substr(0, 40);
        const auto run = start({c.name});
        EXPECT_EQ(run->wait_exit(LONG_WAIT), 255) << shown;
        EXPECT_EQ(run->output(), OPEN_FAILED_LINE) << shown;
        EXPECT_EQ(run->errors(), std::string("tervalo: ").append(c.name).append(c.reason)) << shown;
    }
}

void play_port_loss_and_return(const tool_target& target, pty_device& device) {
    const auto tool =
        start_to_banner(target, with(FAST, {target.port, "--log", "loss.jsonl", "-W", "0.3"}));
    const std::string port = "tervalo: " + target.port + ": ";
    ASSERT_TRUE(next_greeting(device));
    device.send(frame_bytes(FRAME_TYPE_TEXT, "before"));
    ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, "before"), SHORT_WAIT));
    // The name goes first: once both ends are closed the terminal's name is free, and
    // another terminal (a parallel test's, a new shell's) may take it.
    target.detach();
    device.hang_up();
    ASSERT_TRUE(tool->wait_for_errors(port + "port lost (", LONG_WAIT)) << tool->errors();
    const std::size_t at_loss = tool->output().size();
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE + NO_RESPONSE, LONG_WAIT, at_loss));
    const std::string lost = tool->errors();
    EXPECT_TRUE(lost.ends_with("); reopening it every cycle\n")) << lost;
    EXPECT_EQ(lost.find('\n'), lost.size() - 1) << lost;

    // The device comes back under the same name, on another terminal.
    const pty_device again;
    target.attach(again);
    const std::string reopened = port + "port reopened (" + target.reopened_path(again) + ")\n";
    ASSERT_TRUE(tool->wait_for_errors(lost + reopened, LONG_WAIT)) << tool->errors();
    ASSERT_TRUE(next_greeting(again));
    again.send(frame_bytes(FRAME_TYPE_TEXT, "after"));
    const std::string after = printed_line(RESPONSE_FORMAT, "after");
    ASSERT_TRUE(tool->wait_for_output(after, SHORT_WAIT)) << tool->output();
    // While the port was away the cycles said only what they say for a silent device.
    const std::string away = tool->output().substr(at_loss, tool->output().find(after) - at_loss);
    std::string rest = away;
    while (rest.starts_with(NO_RESPONSE)) {
        rest.erase(0, NO_RESPONSE.size());
    }
    EXPECT_EQ(rest, "") << away;
    EXPECT_EQ(tool->errors(), lost + reopened);

    // Stopped now: the summary and the log count the cycles that began with the port away.
    kill(tool->pid(), SIGINT);
    EXPECT_EQ(tool->wait_exit(LONG_WAIT), target.stopped_status);
    std::smatch found;
    const std::string errors = tool->errors();
    ASSERT_TRUE(std::regex_search(errors, found, std::regex("port away ([0-9]+) cycles\n")));
    const std::size_t away_cycles = std::stoul(found[1]);
    EXPECT_GE(away_cycles, 1u) << errors;
    const std::vector<nlohmann::json> lines = read_log_lines(target.dir / "loss.jsonl");
    std::vector<std::string> events;
    std::size_t away_lines = 0;
    for (const nlohmann::json& line : lines) {
        if (line.contains("event")) {
            events.push_back(line.value("event", ""));
        } else if (line.value("result", "") == "port_away") {
            EXPECT_EQ(events.back(), "port_lost") << line.dump();
            ++away_lines;
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"start", "port_lost", "port_reopened", "summary"}));
    EXPECT_EQ(away_lines, away_cycles);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back().value("end", ""), target.stopped_end);
    EXPECT_EQ(lines.back().value("port_away", std::size_t{0}), away_cycles);
    const std::size_t greetings = greeting_lines(lines).size();
    EXPECT_EQ(lines.back().value("greetings", std::size_t{0}), greetings);
    EXPECT_NE(errors.find(SUMMARY + "greetings " + std::to_string(greetings) + ","),
              std::string::npos)
        << errors;
}
