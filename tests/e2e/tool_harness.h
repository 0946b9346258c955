// Runs a built program against a device played by the test over a pseudo-terminal: a
// real kernel tty with real termios, reached by the program through a symlink in a
// temporary working directory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "link/frame_bytes.h"
#include "link/output_lines.h"

using byte_string = std::vector<std::uint8_t>;

// Generous bounds: these only end a test that would otherwise hang.
inline constexpr std::chrono::milliseconds SHORT_WAIT{5000};
inline constexpr std::chrono::milliseconds LONG_WAIT{15000};

inline const std::string BANNER = BANNER_LINE;

// A temporary working directory, removed with everything in it.
class scratch_dir {
  public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The device end of a pseudo-terminal. The line is raw before anyone opens the other end.
class pty_device {
  public:
    pty_device();
    ~pty_device();
    pty_device(const pty_device&) = delete;
    pty_device& operator=(const pty_device&) = delete;

    const std::string& tty_path() const { return tty_path_; }
    void link_as(const std::filesystem::path& link) const;

    void send(const byte_string& bytes) const;
    // Exactly count bytes, or fewer if the wait runs out; or whatever arrives within it.
    byte_string receive(std::size_t count, std::chrono::milliseconds wait) const;
    byte_string receive_for(std::chrono::milliseconds wait) const;
    // Closes both ends: what a pulled USB adapter looks like to the program. The
    // terminal's name goes with them, and a later pseudo-terminal may take it.
    void hang_up();
    int device_end() const { return master_; }
    // Lets the next program in after one that held the terminal exclusively: the flag
    // outlives it while this end holds the terminal, and only root passes it.
    void allow_next_opener() const;
    bool held_exclusively() const;

  private:
    int master_ = -1;
    int tty_ = -1;  // held open so the line keeps its settings between openers
    std::string tty_path_;
};

// What a run's standard descriptors are. By default its input is /dev/null and its
// output and errors are captured in files; a test may give a descriptor of its own
// instead (a pipe, /dev/full, a terminal), or leave one closed.
inline constexpr int CAPTURED = -1;
inline constexpr int CLOSED = -2;
struct run_streams {
    int input = CAPTURED;
    int output = CAPTURED;
    int errors = CAPTURED;
};

// A program run in a working directory as the leader of a session of its own, its
// standard output and standard error each captured in a file (a pipe could be inherited
// by helpers of the program and never reach its end). Killed when destroyed.
class tool_run {
  public:
    tool_run(const std::string& program, const std::vector<std::string>& args,
             const std::filesystem::path& cwd, const run_streams& streams = {});
    ~tool_run();
    tool_run(const tool_run&) = delete;
    tool_run& operator=(const tool_run&) = delete;

    std::string output() const;
    std::string errors() const;
    // Whether the output (or the errors) from offset `from` on came to hold text in time.
    bool wait_for_output(const std::string& text, std::chrono::milliseconds wait,
                         std::size_t from = 0) const;
    bool wait_for_errors(const std::string& text, std::chrono::milliseconds wait,
                         std::size_t from = 0) const;
    // Waits for the program to end; its exit status (128 + the signal for one a signal
    // ended), or -1 if it had not ended in time.
    int wait_exit(std::chrono::milliseconds wait);
    bool running();
    void stop();
    pid_t pid() const { return pid_; }
    int end_signal() const;  // 0 if it exited or runs

  private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::filesystem::path output_path_;
    std::filesystem::path errors_path_;
};

// Starts the tool with these arguments.
using start_tool = std::function<std::unique_ptr<tool_run>(const std::vector<std::string>&)>;

// The program and the arguments that run args (the program first) as the unprivileged
// user nobody when the test runs as root, where permissions would not be checked at all,
// and as the user itself otherwise.
std::string unprivileged_program(const std::string& program);
std::vector<std::string> unprivileged(std::vector<std::string> args);

// The whole of a file, or nothing if it cannot be read.
std::string contents_of(const std::filesystem::path& path);

// The greeting every cycle begins with.
byte_string greeting_bytes();

// Sets the device's line (through its own end) to everything the tool must change: 9,600
// baud, 7 data bits, odd parity, two stop bits, hardware and software flow control. It
// stays raw, so no byte from the device is taken as a signal.
void set_wrong_line(const pty_device& device);
// How the device's line differs from 921,600 baud 8N1 without flow control; empty
// when it does not.
std::string line_differences(const pty_device& device);
