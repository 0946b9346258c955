#include "tests/e2e/tool_rounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/log_lines.h"

namespace {

const std::string BANNER = BANNER_LINE;
const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string SUMMARY = "--- tervalo summary ---\n";
// Short cycles: the tests answer at once, and a silence is given up after a fifth of a second.
const std::vector<std::string> FAST{"-i", "0.05", "-W", "0.2"};

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Whether text holds every '|'-separated part of parts.
bool says_all(const std::string& text, const std::string& parts) {
    std::istringstream split(parts);
    for (std::string part; std::getline(split, part, '|');) {
        if (text.find(part) == std::string::npos) {
            return false;
        }
    }
    return true;
}

std::string contents_of(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Runs that end at once: the usage, the version and the help print only that; malformed
// options are refused before anything is opened, in one line that names the option and
// what it takes; names that are no port's fail the open; and the log of a run whose port
// never opened still holds its start and a summary saying why.
void ends_at_once_or_is_refused(const tool_target& target, pty_device&) {
    const std::string usage = "usage: tervalo com_port\nexample: tervalo COM1\n";
    const std::string version = "tervalo " TERVALO_VERSION "\n";
    const std::string help =
        "|\n  -c, --count N |\n  -w, --deadline S |\n  -i, --interval S |"
        "\n  -W, --timeout S |\n  -b, --baud N |\n      --max-loss P |\n  -q, "
        "--quiet |\n  -D, --timestamps |\n      --log FILE |\n      --metrics "
        "FILE |\n      --label N=V |\n      --list |\n  -h, --help |\n  -V, --version |\nmanual: ";
    const struct {
        std::vector<std::string> args;
        int status;
        std::string output;  // the whole output, or its start where help follows
    } ended[] = {{{}, 255, usage},
                 {{"-q", "-c", "3"}, 255, usage},
                 {{"-V"}, 0, version},
                 {{"COM3", "-c", "2", "--vers"}, 0, version},
                 {{"--help"}, 0, usage + help},
                 {{"COM3", "-h", "-V"}, 0, usage + help}};
    for (const auto& line : ended) {
        const auto run = target.start(line.args);
        EXPECT_EQ(run->wait_exit(LONG_WAIT), line.status) << line.output;
        const std::string output = run->output();
        EXPECT_TRUE(output.starts_with(line.output.substr(0, line.output.find('|')))) << output;
        EXPECT_TRUE(says_all(output, line.output)) << output;
        EXPECT_EQ(output.size() == line.output.size(), line.output.find('|') == std::string::npos);
        EXPECT_FALSE(std::regex_search(output, std::regex("\r|[^\n]{81}"))) << output;
        EXPECT_EQ(run->errors(), "");
    }

    const std::string count = "--count (-c) takes a whole number of greetings from 1 to ";
    const std::string deadline = "--deadline (-w) takes a number of seconds from 1 to ";
    const std::string loss = "--max-loss takes a percentage from 0 to 100, to six decimals";
    const std::string interval =
        "--interval (-i) takes a number of seconds from 0 to 1000000, to the millisecond";
    const std::string timeout = "--timeout (-W) takes a number of seconds from 0.01 to 1000000";
    const std::string baud = "--baud (-b) takes a whole number of baud from 50 to 20000000";
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"-c", "0", "COM3"}, count + "|not \"0\""},
        {{"COM3", "-c", "abc"}, count},
        {{"COM3", "--count=1e3"}, count},
        {{"-c", "1000000001", "COM3"}, count},
        {{"-c", "99999999999999999999999", "COM3"}, count},
        {{"-c", "-5", "COM3"}, count},
        {{"COM3", "-c"}, count + "|none given"},
        {{"-w", "0.999", "COM3"}, deadline},
        {{"-w", "1.0001", "COM3"}, deadline},
        {{"-w", "", "COM3"}, deadline},
        {{"COM3", "--interval", "0.0005"}, interval + "|not \"0.0005\""},
        {{"-i", "0.0015", "COM3"}, interval},
        {{"-i", "-1", "COM3"}, interval},
        {{"-i", "1000000.001", "COM3"}, interval},
        {{"COM3", "--timeout=0.009"}, timeout},
        {{"-W", "1e3", "COM3"}, timeout},
        {{"-b", "9600.5", "COM3"}, baud},
        {{"-b", "49", "COM3"}, baud},
        {{"COM3", "--baud=20000001"}, baud},
        {{"--max-loss", "100.000001", "COM3"}, loss},
        {{"--max-loss", "0.0000001", "COM3"}, loss},
        {{"--max-loss", "-0", "COM3"}, loss},
        {{"--max-loss", "101", "COM3"}, loss},
        {{"--max-loss", "5", "COM3"}, "--max-loss judges a bounded run; give -c or -w too"},
        {{"-w", "2", "-W", "2.001", "COM3"}, "--timeout (-W) is longer than --deadline (-w)"},
        {{"--fail-fast", "COM3"}, "--fail-fast ends a bounded run early; give -c or -w too"},
        {{"COM3", "--log"}, "--log takes a file name; none given"},
        {{"COM3", "--metrics", "m.prom", "--label", "bench"}, "--label takes NAME=VALUE"},
        {{"--label", "port=x", "--metrics", "m.prom", "COM3"}, "the tool sets that label"},
        {{"--label", "2x=y", "--metrics", "m.prom", "COM3"}, "starts with a letter"},
        {{"--label", "a=1", "--label", "a=2", "--metrics", "m.prom", "COM3"}, "given twice"},
        {{"--label", "a=1", "COM3"}, "--label labels the --metrics file; there is none"},
        {{"COM3", "--List"}, "unknown option \"--List\""},
        {{"COM3", "-qx"}, "unknown option \"-x\""},
        {{"--l", "COM3"}, "unknown option \"--l\""},
        // What the user typed is shown, never acted on by the terminal.
        {{"--x\x1b]0;T\x07", "COM3"}, "unknown option \"--x\\x1b]0;T\\x07\""},
        {{"COM3", "--quiet=yes"}, "--quiet (-q) takes no value"},
        {{"--version=2"}, "--version (-V) takes no value"},
        // Refused even when an option that ends at once comes first.
        {{"--help", "-c", "0"}, count},
        {{"--log", "no-such-folder/run.jsonl", "COM3"},
         "--log no-such-folder/run.jsonl: cannot open it for appending ("},
        {{"--metrics", "no-such-folder/t.prom", "COM3"},
         "--metrics no-such-folder/t.prom: cannot write it ("},
    };
    for (const auto& [args, says] : refused) {
        const auto run = target.start(args);
        EXPECT_EQ(run->wait_exit(LONG_WAIT), 255) << says;
        EXPECT_EQ(run->output(), "") << says;
        const std::string errors = run->errors();
        EXPECT_TRUE(errors.starts_with("tervalo: ") && says_all(errors, says) &&
                    errors.find('\n') == errors.size() - 1)
            << says << " in\n"
            << errors;
    }

    const std::string& bad = target.bad_name;
    check_open_failures(target.start, {{"", bad},
                                       {"COMx", bad},
                                       {"-", bad},
                                       {"COM1" + std::string(2000, 'x'), bad},
                                       {"COM", ": no such device (COM)\n"},
                                       {"COM-1", ": no such device (COM-1)\n"}});
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
    EXPECT_EQ(event_lines(lines, "port_reopened").at(0).value("path", ""),
              target.reopened_path(device));
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

// Bounded runs (-c, -w, --max-loss, --fail-fast, -q, -D, --log, -b): the device answers
// or ignores each greeting as the row says. Checks the exit status, that no greeting
// follows the last, standard output, the summary's counts, pace and verdict, and the log.
void ends_bounded_runs_with_their_verdict(const tool_target& target, pty_device& device) {
    using answers = std::vector<std::optional<std::string>>;
    constexpr std::nullopt_t none = std::nullopt;
    // Bytes a log must keep: controls, a high byte, quotes and backslashes, a zero.
    const std::string odd("OK \x01\xff\"\\|\x7f\x00z", 11);
    const struct {
        std::vector<std::string> before_port, after_port;
        answers replies;  // one per greeting the run must send
        int status;
        std::string verdict;  // the summary's last lines, where the row shows them
    } rows[] = {
        {{"-c", "3", "--log", "run.jsonl"}, {}, {odd, "two", "three"}, 0, ""},
        {{}, {"-c", "3", "--log", "run.jsonl"}, {none, none, none}, 1, ""},
        {{"--count=3"}, {"--max-loss", "34"}, {"a", none, "c"}, 0, ""},
        {{"-c", "3", "--max-loss", "33.3"},
         {},
         {"a", none, "c"},
         1,
         "verdict: failed, 33.4% unanswered, limit 33.3%\n"},
        {{"-c", "5", "--fail-fast"},
         {},
         {"a", none},
         1,
         "verdict: failed, 50.0% unanswered, limit 0%; ended by --fail-fast after 2 greetings: "
         "it could no longer pass\n"},
        {{"-c2", "--max-loss=100"}, {}, {none, none}, 1, ""},
        {{"-qc", "2"}, {}, {"x", "y"}, 0, ""},
        {{"-D"}, {"-c", "2"}, {"x", none}, 1, ""},
        // A third greeting would begin at about 0.8 s and could wait past the deadline.
        {{"-w", "1", "-i", "0.4", "-W", "0.2"}, {}, {"a", "b"}, 0, ""},
        {{"-w", "30"}, {"-c", "2"}, {"a", "b"}, 0, ""},
        {{"-i", "0", "-W", "0.05", "--baud=115200"},
         {"-c", "2", "--max-loss", "50"},
         {none, "b"},
         0,
         "pace: interval 0.000 s, timeout 0.050 s, 115200 baud\nverdict: passed"},
    };
    setenv("TZ", "Australia/Sydney", 1);
    for (const auto& row : rows) {
        std::vector<std::string> args = with(with(row.before_port, {target.port}), row.after_port);
        const auto has = [&args](const char* option) {
            return std::find(args.begin(), args.end(), option) != args.end();
        };
        if (!has("-i")) {
            args = with(FAST, args);
        }
        SCOPED_TRACE(std::accumulate(
            args.begin(), args.end(), std::string(),
            [](std::string all, const std::string& arg) { return std::move(all) + " " + arg; }));
        std::filesystem::remove(target.dir / "run.jsonl");  // the log is appended to
        const auto tool = target.start(args);
        const bool quiet = has("-qc");
        std::string expected = BANNER;
        std::size_t responses = 0;
        for (const auto& reply : row.replies) {
            ASSERT_TRUE(next_greeting(device));
            if (reply) {
                device.send(frame_bytes(FRAME_TYPE_TEXT, *reply));
                responses++;
            }
            expected += quiet   ? ""
                        : reply ? printed_line(RESPONSE_FORMAT, reply->c_str())
                                : NO_RESPONSE;
        }
        ASSERT_EQ(tool->wait_exit(LONG_WAIT), row.status) << tool->errors();
        EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(100)).empty());
        std::string output = tool->output();
        if (has("-D")) {
            output = std::regex_replace(output, STAMPED_LINE, "$1");
        }
        EXPECT_EQ(output, expected);
        const std::string errors = tool->errors();
        EXPECT_TRUE(errors.starts_with(SUMMARY + "greetings " + std::to_string(row.replies.size()) +
                                       ", responses " + std::to_string(responses) + ", "))
            << errors;
        EXPECT_NE(errors.find(row.status == 0 ? "\nverdict: passed, " : "\nverdict: failed, "),
                  std::string::npos)
            << errors;
        EXPECT_NE(errors.find(row.verdict), std::string::npos) << errors;
        if (has("--log")) {
            check_log(target.dir / "run.jsonl", target.port, row.replies, row.status);
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
