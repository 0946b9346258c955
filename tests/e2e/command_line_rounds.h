// One table of the command lines that end at once (no port name, --help, --version) for
// every build of the tool, so Linux and Windows are held to the same text.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/tool_harness.h"

using start_tool = std::function<std::unique_ptr<ToolRun>(const std::vector<std::string>&)>;

// Runs each command line with start and checks, with GoogleTest assertions, its exit
// status and its output: the usage text alone and status 255 without an argument, the
// usage with the options and the manual for --help, "tervalo <version>" for --version.
void check_command_lines_that_end_at_once(const start_tool& start);
