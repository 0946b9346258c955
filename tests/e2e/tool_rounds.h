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
    std::string bad_name;     // what follows "tervalo: <name>" for a name that is no port's
    int stopped_status;       // the exit status of a run that SIGINT stopped
    std::string stopped_end;  // and how its log's summary names the end
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

// Checks that each name ends the tool at once: status 255, the open-failure line, the reason.
void check_open_failures(const start_tool& start, const std::vector<open_case>& cases);

// A run with a log whose device is pulled out (name and both ends gone) and comes back
// under the name on another terminal, then SIGINT stops it: loss and reopening are one
// line each, the cycles between print what a silent device gets, and the summary and the
// log count the cycles away alike.
void play_port_loss_and_return(const tool_target& target, pty_device& device);
