// One table of bad input for every build of the tool, so Linux and Windows are held to
// the same lines.
#pragma once

#include <filesystem>
#include <functional>

#include "tests/e2e/tool_harness.h"

// Round by round: waits for a greeting and answers it with a kind of bad input (a bad
// length, check byte or escape, a truncated frame, an absurd length, raw noise), then
// answers the next greeting with a good reply. Checks, with GoogleTest assertions, that
// each round prints exactly its warnings and then the good response, and that the tool
// is still running, and that its --log (log) gives each its cause. next_greeting waits
// for the ten greeting bytes.
void play_bad_input_rounds(tool_run& tool, const pty_device& device,
                           const std::function<bool()>& next_greeting,
                           const std::filesystem::path& log);
