// The Windows build of the tool under Wine, inside the session scripts/wine-env makes:
// WINEPREFIX names a private prefix whose dosdevices/com<n> links are the COM ports.
#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/e2e/tool_harness.h"

// Why the Windows tests cannot run here, or empty when they can.
std::string wine_session_problem();

// The prefix's entry for a port ("com5"); linking a terminal there makes it that port.
std::filesystem::path dos_device(const std::string& name);

// tervalo.exe run by Wine with args, in cwd.
std::unique_ptr<tool_run> run_windows_tool(const std::vector<std::string>& args,
                                           const std::filesystem::path& cwd,
                                           const run_streams& streams = {});

// Wine's cmd running the batch file text (lines ending in CR LF) with args, in cwd,
// beside a copy of tervalo.exe: what a batch file sees of the tool.
std::unique_ptr<tool_run> run_batch(const std::string& text, const std::vector<std::string>& args,
                                    const std::filesystem::path& cwd);

// Runs Wine's reg with args in cwd and returns its output; expects status 0.
std::string wine_reg(const std::vector<std::string>& args, const std::filesystem::path& cwd);
