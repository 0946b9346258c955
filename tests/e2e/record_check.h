// tervalo-sim's record as the answer key: what it sent each cycle and what tervalo must
// print for it. Used by the simulator's end-to-end tests and by the VM tier.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/e2e/tool_harness.h"

struct record_entry {
    std::uint64_t cycle = 0;
    std::string fault;
    std::string bytes_sent;
    std::optional<std::string> expected;  // nullopt: left open by the frame rules
    std::string first_bytes;
};

// The record's lines; a malformed line is a test failure.
std::vector<record_entry> read_record(const std::filesystem::path& path);

// The record once it holds `cycles` lines, or as it stands after the wait: a cycle's line
// is written once its reply is out, which may be after the tool has ended.
std::vector<record_entry> read_whole_record(const std::filesystem::path& path, std::size_t cycles,
                                            std::chrono::milliseconds wait = SHORT_WAIT);

// The line that ends every cycle: a response or no response.
bool is_final_line(std::string_view line);

// Checks the output of one cycle from offset `at` against its record entry and moves `at`
// past it. Empty, or the mismatch: the cycle, what was sent and what was printed.
std::string compare_cycle(std::string_view output, std::size_t& at, const record_entry& entry);

// Checks a run log's greeting line against the record entry of its cycle: the result, the
// whole payload (the record shows it as printed, up to a first zero byte), and each
// warning with its numbers, as the cycle printed them. Empty, or the mismatch.
std::string compare_log_cycle(const nlohmann::json& line, const record_entry& entry);
