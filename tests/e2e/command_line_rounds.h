// One table of the command lines that end at once (no port name, --help, --version)
// and one of those refused, for every build of the tool, so Linux and Windows are held
// to the same text.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/tool_harness.h"

using start_tool = std::function<std::unique_ptr<tool_run>(const std::vector<std::string>&)>;

// Runs each command line with start and checks, with GoogleTest assertions, its exit
// status and its output: the usage text alone and status 255 without a port name, the
// usage with the options and the manual for --help or -h, "tervalo <version>" for
// --version or -V, wherever they stand.
void check_command_lines_that_end_at_once(const start_tool& start);

// Runs malformed command lines (bad values, missing values, unknown options, a log file
// that cannot be opened) with start and checks that each is refused before anything is
// opened: exit status 255, nothing on standard output (no banner, no open failure), and
// one standard-error line naming the option and what it takes. COM3, where given, need
// not exist.
void check_refused_options(const start_tool& start);
