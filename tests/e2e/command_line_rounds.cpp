#include "tests/e2e/command_line_rounds.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

namespace {

const std::string USAGE = "usage: tervalo com_port\nexample: tervalo COM1\n";
const std::string VERSION = "tervalo " TERVALO_VERSION "\n";
const std::vector<std::string> HELP_MENTIONS{
    "\n  -c, --count N ",      "\n  -w, --deadline S ", "\n  -i, --interval S ",
    "\n  -W, --timeout S ",    "\n  -b, --baud N ",     "\n      --max-loss P ",
    "\n  -q, --quiet ",        "\n  -D, --timestamps ", "\n      --log FILE ",
    "\n      --metrics FILE ", "\n      --label N=V ",  "\n      --list ",
    "\n  -h, --help ",         "\n  -V, --version ",    "\nmanual: "};

struct command_line {
    std::vector<std::string> args;
    int status;
    std::string start;                  // what the output begins with
    bool whole;                         // and is nothing more
    std::vector<std::string> mentions;  // what else it must contain
};

// Refused before any file or port is touched: no output, one line on standard error
// that names the option and says what it takes.
struct refused_line {
    std::vector<std::string> args;
    std::vector<std::string> says;
};

}  // namespace

void check_command_lines_that_end_at_once(const start_tool& start) {
    const std::vector<command_line> lines{
        {{}, 255, USAGE, true, {}},
        {{"-q", "-c", "3"}, 255, USAGE, true, {}},
        {{"--version"}, 0, VERSION, true, {}},
        {{"-V"}, 0, VERSION, true, {}},
        {{"--version", "COM3"}, 0, VERSION, true, {}},
        {{"COM3", "-c", "2", "--vers"}, 0, VERSION, true, {}},
        {{"--help"}, 0, USAGE, false, HELP_MENTIONS},
        {{"COM3", "-h", "-V"}, 0, USAGE, false, HELP_MENTIONS},
    };
    for (const command_line& line : lines) {
        std::string shown = "(none)";
        if (!line.args.empty()) {
            shown = line.args.front() + (line.args.size() > 1 ? " ..." : "");
        }
        const auto run = start(line.args);
        EXPECT_EQ(run->wait_exit(LONG_WAIT), line.status) << shown;
        const std::string output = run->output();
        if (line.whole) {
            EXPECT_EQ(output, line.start) << shown;
        } else {
            EXPECT_TRUE(output.starts_with(line.start)) << shown << ": " << output;
        }
        for (const std::string& text : line.mentions) {
            EXPECT_NE(output.find(text), std::string::npos) << shown << " lacks " << text;
        }
        EXPECT_EQ(output.find('\r'), std::string::npos) << shown;
        EXPECT_FALSE(std::regex_search(output, std::regex("[^\n]{81}"))) << shown << " is too wide";
        EXPECT_EQ(run->errors(), "") << shown;
    }
}

void check_refused_options(const start_tool& start) {
    const std::string count = "--count (-c) takes a whole number of greetings from 1 to ";
    const std::string deadline = "--deadline (-w) takes a number of seconds from 1 to ";
    const std::string loss = "--max-loss takes a percentage from 0 to 100, to six decimals";
    const std::string interval =
        "--interval (-i) takes a number of seconds from 0 to 1000000, to the millisecond";
    const std::string timeout = "--timeout (-W) takes a number of seconds from 0.01 to 1000000";
    const std::string baud = "--baud (-b) takes a whole number of baud from 50 to 20000000";
    const std::vector<refused_line> lines{
        {{"-c", "0", "COM3"}, {count, "not \"0\""}},
        {{"COM3", "-c", "abc"}, {count, "not \"abc\""}},
        {{"COM3", "--count=1e3"}, {count}},
        {{"-c", "-5", "COM3"}, {count}},
        {{"-c", "1000000001", "COM3"}, {count}},
        {{"-c", "99999999999999999999999", "COM3"}, {count}},
        {{"-c", "2.5", "COM3"}, {count}},
        {{"COM3", "-c"}, {count, "none given"}},
        {{"-w", "-1", "COM3"}, {deadline, "not \"-1\""}},
        {{"-w", "0.999", "COM3"}, {deadline}},
        {{"-w", "1.0001", "COM3"}, {deadline}},
        {{"-w", "", "COM3"}, {deadline}},
        {{"--deadline", ".", "COM3"}, {deadline}},
        {{"-i", "-1", "COM3"}, {interval, "not \"-1\""}},
        {{"COM3", "--interval", "0.0005"}, {interval}},
        {{"-i", "1000000.001", "COM3"}, {interval}},
        {{"-W", "0", "COM3"}, {timeout, "not \"0\""}},
        {{"COM3", "--timeout=0.009"}, {timeout}},
        {{"-W", "1e3", "COM3"}, {timeout}},
        {{"-b", "0", "COM3"}, {baud, "not \"0\""}},
        {{"-b", "9600.5", "COM3"}, {baud}},
        {{"COM3", "--baud=20000001"}, {baud}},
        {{"--max-loss", "101", "COM3"}, {loss, "not \"101\""}},
        {{"--max-loss", "100.000001", "COM3"}, {loss}},
        {{"--max-loss", "0.0000001", "COM3"}, {loss}},
        {{"--max-loss", "-0", "COM3"}, {loss}},
        {{"--max-loss", "5%", "COM3"}, {loss}},
        {{"COM3", "--max-loss"}, {loss, "none given"}},
        {{"--max-loss", "5", "COM3"}, {"--max-loss judges a bounded run; give -c or -w too"}},
        {{"-w", "2", "-W", "2.001", "COM3"}, {"--timeout (-W) is longer than --deadline (-w)"}},
        {{"--fail-fast", "COM3"}, {"--fail-fast ends a bounded run early; give -c or -w too"}},
        {{"--label", "version=1", "--metrics", "m.prom", "COM3"}, {"the tool sets that label"}},
        {{"COM3", "--log"}, {"--log takes a file name; none given"}},
        {{"COM3", "--metrics"}, {"--metrics takes a file name; none given"}},
        {{"COM3", "--metrics", "m.prom", "--label", "bench"}, {"--label takes NAME=VALUE"}},
        {{"--label", "port=x", "--metrics", "m.prom", "COM3"}, {"the tool sets that label"}},
        {{"--label", "2x=y", "--metrics", "m.prom", "COM3"}, {"starts with a letter"}},
        {{"--label", "a=1", "--label", "a=2", "--metrics", "m.prom", "COM3"}, {"given twice"}},
        {{"--label", "a=1", "COM3"}, {"--label labels the --metrics file; there is none"}},
        {{"--bogus", "COM3"}, {"unknown option \"--bogus\""}},
        {{"COM3", "--List"}, {"unknown option \"--List\""}},
        {{"COM3", "-x"}, {"unknown option \"-x\""}},
        {{"COM3", "-qx"}, {"unknown option \"-x\""}},
        {{"--l", "COM3"}, {"unknown option \"--l\""}},
        // What the user typed is shown, never acted on by the terminal.
        {{"--x\x1b]0;T\x07", "COM3"}, {"unknown option \"--x\\x1b]0;T\\x07\""}},
        {{"--version=2"}, {"--version (-V) takes no value"}},
        {{"COM3", "--quiet=yes"}, {"--quiet (-q) takes no value"}},
        // Refused even when an option that ends at once comes first.
        {{"--help", "-c", "0"}, {count}},
        {{"--log", "no-such-folder/run.jsonl", "COM3"},
         {"--log no-such-folder/run.jsonl: cannot open it for appending ("}},
        {{"--metrics", "no-such-folder/tervalo.prom", "COM3"},
         {"--metrics no-such-folder/tervalo.prom: cannot write it ("}},
    };
    for (const refused_line& line : lines) {
        std::string shown;
        for (const std::string& arg : line.args) {
            shown += " " + arg;
        }
        const auto run = start(line.args);
        EXPECT_EQ(run->wait_exit(LONG_WAIT), 255) << shown;
        EXPECT_EQ(run->output(), "") << shown;
        const std::string errors = run->errors();
        EXPECT_TRUE(errors.starts_with("tervalo: ")) << shown << ": " << errors;
        EXPECT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << shown << ": " << errors;
        EXPECT_TRUE(errors.ends_with("\n")) << shown << ": " << errors;
        for (const std::string& text : line.says) {
            EXPECT_NE(errors.find(text), std::string::npos) << shown << ": " << errors;
        }
    }
}
