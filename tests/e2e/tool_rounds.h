// The end-to-end rounds that mean the same for every build of the tool, written once and
// played by the Linux suite and the Wine suite, each with its own way of starting the
// tool and of giving a device a port name.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/command_line_rounds.h"
#include "tests/e2e/tool_harness.h"

// How a suite reaches the tool and its device.
struct tool_target {
    start_tool start;           // runs the tool with these arguments in dir
    std::filesystem::path dir;  // the test's working directory
    std::string port;           // the port name that leads to the suite's device
    // Gives a device the port's name, and takes the name away, as plugging an adapter
    // in and pulling it out do; and what "port reopened (...)" then names.
    std::function<void(const pty_device&)> attach;
    std::function<void()> detach;
    std::function<std::string(const pty_device&)> reopened_path;
    bool cpu_time_known;  // whether cpu_ticks_of reads the tool's time (not through Wine)
};

// A round, named as its test is, against the device target.port leads to.
struct tool_round {
    const char* name;
    std::function<void(const tool_target&, pty_device&)> play;
};
inline void PrintTo(const tool_round& round, std::ostream* out) {
    *out << round.name;
}

// The rounds both suites play, each a test of its own.
std::vector<tool_round> same_rounds();

// Starts the tool with args and waits (long: Wine starts slowly) for its banner.
std::unique_ptr<tool_run> start_to_banner(const tool_target& target,
                                          const std::vector<std::string>& args);

// Waits for the next greeting; false, with the reason recorded, if it did not come.
bool next_greeting(const pty_device& device);

// A name the tool refuses to open, and what follows "tervalo: <name>" on standard error.
struct open_case {
    std::string name;
    std::string reason;
};

// The refusals that read the same on every build, given the platform's bad-name text.
std::vector<open_case> open_failures_alike(const std::string& bad_name);

// Checks that each name ends the tool at once: status 255, the open-failure line, the reason.
void check_open_failures(const start_tool& start, const std::vector<open_case>& cases);

struct port_loss_seen {
    std::string lost;                   // the port-lost line
    std::size_t output_at_loss;         // how much had been printed when it came
    std::unique_ptr<pty_device> again;  // the device that took the name afterwards
};

// Against a tool running on target.port: the device answers once, is pulled out (name
// and both ends gone) and comes back under the name on another terminal. Checks that
// loss and reopening are each one line on standard error, that the cycles between print
// only what a silent device gets and (where known) use next to no processor time, and
// that the returned device is greeted and its response printed.
port_loss_seen play_port_loss_and_return(const tool_target& target, tool_run& tool,
                                         pty_device& device);
