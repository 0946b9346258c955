#include "tests/e2e/command_line_rounds.h"

#include <gtest/gtest.h>

namespace {

const std::string USAGE = "usage: tervalo com_port\nexample: tervalo COM1\n";

struct command_line {
    std::vector<std::string> args;
    int status;
    std::string start;                  // what the output begins with
    bool whole;                         // and is nothing more
    std::vector<std::string> mentions;  // what else it must contain
};

}  // namespace

void check_command_lines_that_end_at_once(const start_tool& start) {
    const std::vector<command_line> lines{
        {{}, 255, USAGE, true, {}},
        {{"--version"}, 0, "tervalo " TERVALO_VERSION "\n", true, {}},
        {{"--version", "COM3"}, 0, "tervalo " TERVALO_VERSION "\n", true, {}},
        {{"--help"},
         0,
         USAGE,
         false,
         {"\n  --list ", "\n  --help ", "\n  --version ", "man tervalo"}},
    };
    for (const command_line& line : lines) {
        const std::string shown = line.args.empty() ? "(none)" : line.args.front();
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
    }
}
