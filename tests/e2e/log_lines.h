// The run log (--log) read back as a program would read it: every line parsed as JSON
// by a JSON library, not by the tool's own code.
#pragma once

#include <nlohmann/json.hpp>

#include <filesystem>
#include <string>
#include <vector>

// The file's lines, each parsed; a line that is not whole JSON, or a file that does not
// end in a line feed, is a test failure.
std::vector<nlohmann::json> read_log_lines(const std::filesystem::path& path);

// A log string's bytes: each code point one byte, as Latin-1 decodes it. A code point
// above 0xFF is a test failure.
std::string latin1_bytes(const std::string& utf8);

// The lines that record a greeting.
std::vector<nlohmann::json> greeting_lines(const std::vector<nlohmann::json>& lines);
