#include "tests/e2e/bounded_run_rounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <regex>
#include <sstream>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/log_lines.h"

namespace {

using answer = std::optional<std::string>;  // nullopt: the greeting is not answered

struct bounded_row {
    const char* name;
    std::vector<std::string> before_port;
    std::vector<std::string> after_port;
    std::vector<answer> answers;  // one per greeting the run must send
    int status;
    std::string pace = {};     // the summary's line at a pace or speed other than the default
    std::string verdict = {};  // its last line, where the row shows it in full
};

// "2026-12-08T14:03:07.412+01:00 " before a line with -D.
const std::regex STAMPED_LINE(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d) ([^\n]*\n))");

bool has(const std::vector<std::string>& args, const std::string& option) {
    return std::find(args.begin(), args.end(), option) != args.end();
}

// The runs' zone, far from most test machines' and named as Linux reads TZ: Wine takes the
// system's zone from it too, where Windows' C runtime would misread it. Ten hours ahead of
// UTC, eleven in its summer.
constexpr const char* STAMP_ZONE = "Australia/Sydney";
const std::regex STAMP_ZONE_OFFSET(R"(\+1[01]:00$)");

// Standard output with the timestamps taken off; every line must have one, in STAMP_ZONE.
std::string without_stamps(const std::string& output) {
    std::string plain;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        line += "\n";
        std::smatch match;
        EXPECT_TRUE(std::regex_match(line, match, STAMPED_LINE)) << line;
        EXPECT_TRUE(std::regex_search(match.str(1), STAMP_ZONE_OFFSET)) << line;
        plain += match[2];
    }
    return plain;
}

void check_log(const std::filesystem::path& path, const std::string& port,
               const std::vector<answer>& answers, int status) {
    const std::vector<nlohmann::json> lines = read_log_lines(path);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.front().value("event", ""), "start");
    EXPECT_EQ(lines.front().value("port", ""), port);
    EXPECT_EQ(lines.front()["options"].value("count", std::size_t{0}), answers.size());
    const std::vector<nlohmann::json> greetings = greeting_lines(lines);
    ASSERT_EQ(greetings.size(), answers.size());
    std::size_t responses = 0;
    for (std::size_t i = 0; i < answers.size(); ++i) {
        const nlohmann::json& line = greetings[i];
        EXPECT_EQ(line.value("seq", std::size_t{0}), i + 1);
        if (answers[i]) {
            ++responses;
            EXPECT_EQ(line.value("result", ""), "response") << line.dump();
            EXPECT_EQ(latin1_bytes(line.value("payload", "")), *answers[i]) << line.dump();
            EXPECT_TRUE(line["rtt_us"].is_number_integer()) << line.dump();
            EXPECT_FALSE(line.contains("warnings")) << line.dump();
        } else {
            EXPECT_EQ(line.value("result", ""), "no_response") << line.dump();
            EXPECT_EQ(line["warnings"], nlohmann::json::array()) << line.dump();
            EXPECT_EQ(line["cause"], nlohmann::json({{"kind", "silent"}})) << line.dump();
            EXPECT_FALSE(line.contains("payload")) << line.dump();
        }
    }
    const nlohmann::json& summary = lines.back();
    EXPECT_EQ(summary.value("event", ""), "summary");
    EXPECT_EQ(summary.value("end", ""), "count");
    EXPECT_EQ(summary.value("greetings", std::size_t{0}), answers.size());
    EXPECT_EQ(summary.value("responses", std::size_t{0}), responses);
    EXPECT_EQ(summary.value("no_response", std::size_t{0}), answers.size() - responses);
    EXPECT_EQ(summary.value("passed", status != 0), status == 0);
    EXPECT_TRUE(summary["max_loss"].is_number()) << summary.dump();
    // One identity in every line of the run.
    for (const nlohmann::json& line : lines) {
        EXPECT_EQ(line.value("run", ""), summary.value("run", "none")) << line.dump();
    }
}

}  // namespace

void play_bounded_runs(const start_tool& start, const std::string& port, const pty_device& device,
                       const std::filesystem::path& dir) {
    // Bytes a log must keep: controls, a high byte, quotes and backslashes, a zero.
    const std::string odd("OK \x01\xff\"\\|\x7f\x00z", 11);
    const std::vector<bounded_row> rows{
        {"-c 3, every greeting answered", {"-c", "3"}, {}, {"one", "two", "three"}, 0},
        {"-c 3 after the port, a silent device",
         {},
         {"-c", "3"},
         {std::nullopt, std::nullopt, std::nullopt},
         1},
        {"one lost of three, --max-loss 34 passes",
         {"--count=3"},
         {"--max-loss", "34"},
         {"a", std::nullopt, "c"},
         0},
        {"one lost of three, --max-loss 33.3 fails: the share shown is rounded up",
         {"-c", "3", "--max-loss", "33.3"},
         {},
         {"a", std::nullopt, "c"},
         1,
         "",
         "verdict: failed, 33.4% unanswered, limit 33.3%\n"},
        {"--fail-fast: a run that allows no loss ends at its first",
         {"-c", "5", "--fail-fast"},
         {},
         {"a", std::nullopt},
         1,
         "",
         "verdict: failed, 50.0% unanswered, limit 0%; ended by --fail-fast after 2 greetings: "
         "it could no longer pass\n"},
        {"all lost, --max-loss 100 still needs an answer",
         {"-c2", "--max-loss=100"},
         {},
         {std::nullopt, std::nullopt},
         1},
        {"-q: the banner only", {"-qc", "2"}, {}, {"x", "y"}, 0},
        {"-D: every line stamped", {"-D"}, {"-c", "2"}, {"x", std::nullopt}, 1},
        {"--log: a line per greeting, the payload's bytes kept",
         {"--log", "run.jsonl", "-c", "3"},
         {"--max-loss", "50"},
         {odd, std::nullopt, "z"},
         0},
        {"-w 3.5: three greetings fit, a fourth would end late",
         {"-w", "3.5"},
         {},
         {"a", "b", "c"},
         0},
        {"-w and -c: whichever comes first", {"-w", "30"}, {"-c", "2"}, {"a", "b"}, 0},
        {"-i 0, -W 0.05, -b 115200: back to back, a silence given up after 50 ms",
         {"-i", "0", "--log", "run.jsonl", "-W", "0.05"},
         {"--baud=115200", "-c", "3", "--max-loss", "34"},
         {"a", std::nullopt, "c"},
         0,
         "pace: interval 0.000 s, timeout 0.050 s, 115200 baud\n"},
        {"-w 1.1 -i 0.2 -W 0.1: four greetings fit, with the wait and the pause asked for",
         {"-w", "1.1", "-i", "0.2", "-W", "0.1"},
         {},
         {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
         1,
         "pace: interval 0.200 s, timeout 0.100 s, 921600 baud\n"},
    };
    setenv("TZ", STAMP_ZONE, 1);
    for (const bounded_row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> args = row.before_port;
        args.push_back(port);
        args.insert(args.end(), row.after_port.begin(), row.after_port.end());
        // Each row's log afresh: the log is appended to.
        std::filesystem::remove(dir / "run.jsonl");
        const auto tool = start(args);
        std::string expected = BANNER_LINE;
        for (const answer& reply : row.answers) {
            ASSERT_EQ(device.receive(10, LONG_WAIT), greeting_bytes());
            if (reply) {
                device.send(frame_bytes(0xA2, *reply));
                expected += printed_line(RESPONSE_FORMAT, reply->c_str());
            } else {
                expected += NO_RESPONSE_LINE;
            }
        }
        ASSERT_EQ(tool->wait_exit(LONG_WAIT), row.status) << tool->errors();
        EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(100)).empty());

        const std::vector<std::string> all = args;
        std::string output = tool->output();
        if (has(all, "-D")) {
            output = without_stamps(output);
        }
        if (has(all, "-qc")) {
            expected = BANNER_LINE;
        }
        EXPECT_EQ(output, expected);

        std::size_t responses = 0;
        for (const answer& reply : row.answers) {
            responses += reply ? 1u : 0u;
        }
        const std::string summary = "--- tervalo summary ---\ngreetings " +
                                    std::to_string(row.answers.size()) + ", responses " +
                                    std::to_string(responses) + ", ";
        const std::string errors = tool->errors();
        EXPECT_TRUE(errors.starts_with(summary)) << errors;
        const std::size_t verdict = errors.rfind("\nverdict: ") + 1;
        EXPECT_TRUE(errors.substr(0, verdict).ends_with(row.pace)) << errors;
        const char* judged = row.status == 0 ? "verdict: passed, " : "verdict: failed, ";
        EXPECT_TRUE(errors.substr(verdict).starts_with(judged)) << errors;
        EXPECT_TRUE(errors.ends_with(row.verdict)) << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), row.pace.empty() ? 6 : 7)
            << errors;
        if (has(all, "--log")) {
            check_log(dir / "run.jsonl", port, row.answers, row.status);
        }
        if (!row.pace.empty()) {
            EXPECT_EQ(line_differences(device).find("speed"),
                      has(all, "--baud=115200") ? 0u : std::string::npos);
        }
    }
}
