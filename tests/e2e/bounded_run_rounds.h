// One table of bounded runs (-c, -w, --max-loss, -q, -D, --log) for every build of the
// tool, played by the test as the device, so Linux and Windows are held to the same
// verdicts, lines and log.
#pragma once

#include <filesystem>
#include <string>

#include "tests/e2e/command_line_rounds.h"
#include "tests/e2e/tool_harness.h"

// Runs each row with start (arguments that include port, which reaches device; the
// working directory is dir), answers or ignores each greeting as the row says, and
// checks, with GoogleTest assertions: the exit status, that no greeting follows the
// last, standard output line by line, the summary on standard error, and the log.
void play_bounded_runs(const start_tool& start, const std::string& port, const pty_device& device,
                       const std::filesystem::path& dir);
