// The simulator's command line, and which fault each cycle gets.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "sim/fault_plan.h"

struct sim_options {
    std::string port = "COM1";  // name of the link created in the working directory
    std::string open_port;      // an existing port to use instead, by the tool's port name
    bool replace_link = false;  // an existing symlink of that name may be replaced
    std::string text;           // reply payload; empty: "reply <n>" for the n-th greeting
    int delay_ms = 0;
    std::vector<fault_kind> faults;         // empty: every reply intact
    int every = 1;                          // every n-th cycle carries the next fault in turn
    std::optional<std::uint32_t> mix_seed;  // faults at random instead, from this seed
    std::string log_path;                   // empty: standard error
    std::string record_path;                // empty: no record
    bool paced = false;                     // replies go out a byte at a time, at the line's speed
    std::string control_path;               // empty: the plan is fixed for the run
    bool help = false;
    bool version = false;
};

inline constexpr int DELAY_MAX_MS = 900;

// Reads argv into options. Returns an empty string, or a one-line description of the
// first problem found.
std::string parse_options(int argc, const char* const* argv, sim_options& options);

// Reads a new fault plan (--fault, --every, --mix, --delay and --text, separated by
// blanks; nothing for intact replies) from text into options, leaving the rest of
// options as it is. Returns an empty string, or what is wrong, options then unchanged.
std::string parse_plan(const std::string& text, sim_options& options);

// The --help text, every option included.
const char* usage_text();

// The fault of the cycle-th greeting (from 1). In a mix a fault follows a good cycle
// with even odds and is never followed by another, so every fault is seen to clear.
fault_kind fault_for_cycle(const sim_options& options, std::uint64_t cycle, fault_kind previous,
                           std::mt19937& random);
