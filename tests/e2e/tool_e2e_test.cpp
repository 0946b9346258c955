// The built tool against a device played over a pseudo-terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <stdexcept>
#include <thread>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/bad_input_rounds.h"
#include "tests/e2e/bounded_run_rounds.h"
#include "tests/e2e/command_line_rounds.h"
#include "tests/e2e/log_lines.h"
#include "tests/e2e/tool_harness.h"

namespace {

const std::string BANNER = BANNER_LINE;
const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string OPEN_FAILED = OPEN_FAILED_LINE;

class ToolOverPty : public ::testing::Test {
  protected:
    void SetUp() override { device.link_as(dir.path() / "COM3"); }

    std::unique_ptr<tool_run> start(const std::vector<std::string>& args = {"COM3"}) {
        auto run = std::make_unique<tool_run>(TERVALO_BINARY, args, dir.path());
        EXPECT_TRUE(run->wait_for_output(BANNER, SHORT_WAIT)) << run->output();
        return run;
    }

    // Waits for the next greeting; false (with the reason recorded) if it did not come.
    bool next_greeting() const {
        const byte_string got = device.receive(10, LONG_WAIT);
        EXPECT_EQ(got, greeting_bytes());
        return got == greeting_bytes();
    }

    scratch_dir dir;
    pty_device device;
};

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// Processor time the program has used over a stretch of real time, in clock ticks.
long cpu_ticks_over(const tool_run& run, std::chrono::milliseconds stretch) {
    const long before = cpu_ticks_of(run.pid());
    std::this_thread::sleep_for(stretch);
    return cpu_ticks_of(run.pid()) - before;
}

TEST(ToolCommandLine, UsageHelpVersionAndListEndAtOnce) {
    scratch_dir dir;
    const start_tool start = [&dir](const std::vector<std::string>& args) {
        return std::make_unique<tool_run>(TERVALO_BINARY, args, dir.path());
    };
    check_command_lines_that_end_at_once(start);
    check_refused_options(start);
    // What this machine has varies; every line must still name a port the way the
    // manual says, and the list must not be taken for a port name.
    tool_run list(TERVALO_BINARY, {"--list"}, dir.path());
    EXPECT_EQ(list.wait_exit(SHORT_WAIT), 0);
    const std::regex port_line(
        "((COM[0-9]+(, COM[0-9]+)*( and [0-9]+ more)? -> )?/dev/tty(S|USB|ACM)[0-9]+: [^\n]+\n)+|"
        "no serial ports found\n");
    EXPECT_TRUE(std::regex_match(list.output(), port_line)) << list.output();
}

TEST_F(ToolOverPty, GreetsAndPrintsTheResponseByteForByte) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    const std::string payload = "OK \x01\x7f\xc3\xa9\t|\x11\x13\x5c|";
    device.send(frame_bytes(0xA2, payload));
    const std::string expected = BANNER + printed_line(RESPONSE_FORMAT, payload.c_str());
    EXPECT_TRUE(tool->wait_for_output(expected, SHORT_WAIT)) << tool->output();
    EXPECT_EQ(tool->output(), expected);
    // The cycle goes on.
    EXPECT_TRUE(next_greeting());
}

TEST_F(ToolOverPty, ExtraArgumentsAreIgnored) {
    tool_run tool(TERVALO_BINARY, {"COM3", "COM4", "verbose"}, dir.path());
    ASSERT_TRUE(tool.wait_for_output(BANNER, SHORT_WAIT)) << tool.output();
    EXPECT_TRUE(next_greeting());
}

TEST_F(ToolOverPty, ASilentDeviceGetsNoResponseEveryCycle) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(BANNER + NO_RESPONSE, LONG_WAIT)) << tool->output();
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(BANNER + NO_RESPONSE + NO_RESPONSE, LONG_WAIT))
        << tool->output();
}

TEST_F(ToolOverPty, BytesSentDuringThePauseAreDiscardedByTheNextGreeting) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    device.send(frame_bytes(0xA2, "first"));
    ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, "first"), SHORT_WAIT));
    // The tool is pausing now; this frame waits in the line until the next greeting.
    device.send(frame_bytes(0xA2, "stale"));
    ASSERT_TRUE(next_greeting());
    EXPECT_TRUE(tool->wait_for_output(NO_RESPONSE, LONG_WAIT)) << tool->output();
    EXPECT_EQ(tool->output(), BANNER + printed_line(RESPONSE_FORMAT, "first") + NO_RESPONSE);
}

TEST_F(ToolOverPty, ASecondInstanceCannotOpenTheSamePort) {
    const auto first = start();
    {
        tool_run second(TERVALO_BINARY, {"COM3"}, dir.path());
        EXPECT_EQ(second.wait_exit(SHORT_WAIT), 255);
        EXPECT_EQ(second.output(), OPEN_FAILED);
    }
    // The port is freed when the holder ends, even without a clean-up of its own.
    first->stop();
    const auto third = start();
    EXPECT_TRUE(next_greeting());
}

TEST_F(ToolOverPty, BadInputIsReportedAndTheNextCycleWorks) {
    const auto tool = start();
    play_bad_input_rounds(*tool, device, [this] { return next_greeting(); });
}

// Who owns the file at path, as the tool names it for a refused permission.
std::string owner_of(const std::string& path) {
    struct stat node {};
    if (stat(path.c_str(), &node) != 0) {
        return "?";
    }
    std::array<char, 4096> room{};
    passwd user{};
    passwd* user_found = nullptr;
    const bool user_named =
        getpwuid_r(node.st_uid, &user, room.data(), room.size() / 2, &user_found) == 0 &&
        user_found != nullptr;
    group users{};
    group* group_found = nullptr;
    const bool group_named = getgrgid_r(node.st_gid, &users, room.data() + room.size() / 2,
                                        room.size() / 2, &group_found) == 0 &&
                             group_found != nullptr;
    std::array<char, 128> text{};
    std::snprintf(text.data(), text.size(), "owned by %s (group %s, mode %03o)",
                  user_named ? user.pw_name : std::to_string(node.st_uid).c_str(),
                  group_named ? users.gr_name : std::to_string(node.st_gid).c_str(),
                  node.st_mode & 07777U);
    return text.data();
}

// The dialout group's number, or -1 where the system has none.
long dialout_group() {
    std::array<char, 4096> room{};
    group entry{};
    group* found = nullptr;
    const bool known =
        getgrnam_r("dialout", &entry, room.data(), room.size(), &found) == 0 && found != nullptr;
    return known ? static_cast<long>(entry.gr_gid) : -1;
}

TEST_F(ToolOverPty, AFailedOpenSaysWhyOnStandardError) {
    // COM3, the fixture's device, is held by a first instance.
    const auto holder = start();
    const std::string held = device.tty_path();
    std::ofstream(dir.path() / "notes.txt") << "a plain file, not a terminal";
    std::filesystem::create_symlink("notes.txt", dir.path() / "COM4");
    std::filesystem::create_symlink("/nonexistent/tty", dir.path() / "COM5");
    std::filesystem::create_symlink("/dev/zero", dir.path() / "COM8");
    // Opened by the unprivileged user nobody (or, when not root, by its owner after a
    // chmod 000), which may not open a terminal it does not own.
    pty_device locked;
    std::filesystem::permissions(locked.tty_path(), std::filesystem::perms::none);
    locked.link_as(dir.path() / "COM6");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    // A terminal that the dialout group may open, which nobody is not in. Only root may
    // give it that group; others skip the row.
    pty_device dialout_only;
    const long dialout = dialout_group();
    const bool has_dialout =
        dialout >= 0 &&
        chown(dialout_only.tty_path().c_str(), 0, static_cast<gid_t>(dialout)) == 0 &&
        chmod(dialout_only.tty_path().c_str(), 0660) == 0;
    dialout_only.link_as(dir.path() / "COM9");
    // Someone's shell: a session has the terminal as its own.
    pty_device shell;
    terminal_session session(shell.tty_path());
    shell.link_as(dir.path() / "COM7");
    const std::string in_shell =
        " is in use as the terminal of sleep (pid " + std::to_string(session.pid()) + ")\n";

    const std::string bad_name =
        ": not a port name; use COM<n>, such as COM3 (a link of that name in the working "
        "directory, or else /dev/ttyS<n-1>), or a device path, such as /dev/ttyUSB0\n";
    struct open_case {
        std::string name;
        std::string reason;  // what follows "tervalo: <name>"
        bool unprivileged = false;
    };
    std::vector<open_case> cases{
        {"com3", bad_name},
        {"", bad_name},
        {"COMx", bad_name},
        {"dev/ttyS0", bad_name},
        {"COM1" + std::string(2000, 'x'), bad_name},
        {"/" + std::string(2000, 'x'), bad_name},
        {"-", bad_name},
        {"COM5", ": no such device (/nonexistent/tty)\n"},
        {"/nonexistent/tty", ": no such device (/nonexistent/tty)\n"},
        {"COM", ": no such device (COM)\n"},
        {"COM3x", ": no such device (COM3x)\n"},
        {"COM-1", ": no such device (COM-1)\n"},
        {"COM99", ": no such device (/dev/ttyS98)\n"},
        {"COM99999999999", ": no such device (/dev/ttyS2147483646)\n"},
        {"COM5\\..\\..\\etc\\passwd", ": no such device (COM5\\..\\..\\etc\\passwd)\n"},
        // Not terminals, and never opened for reading or writing.
        {"COM4", ": not a serial device (notes.txt)\n"},
        {"COM8", ": not a serial device (/dev/zero)\n"},
        {"/dev/zero", ": not a serial device (/dev/zero)\n"},
        {"/dev/ptmx", ": not a serial device (/dev/ptmx)\n"},
        {"/dev/tty", ": not a serial device (/dev/tty)\n"},
        {(dir.path() / "notes.txt").string(),
         ": not a serial device (" + (dir.path() / "notes.txt").string() + ")\n"},
        {"COM3", ": in use by another program (" + held + ")\n"},
        {held, ": in use by another program (" + held + ")\n"},
        {"COM7", ": " + shell.tty_path() + in_shell},
        {shell.tty_path(), ": " + shell.tty_path() + in_shell},
        {"COM6",
         ": permission denied (" + locked.tty_path() + "); " + owner_of(locked.tty_path()) + "\n",
         true},
    };
    if (has_dialout) {
        cases.push_back({"COM9",
                         ": permission denied (" + dialout_only.tty_path() +
                             "); add yourself to the dialout group (sudo usermod -aG dialout "
                             "$USER) and log in again\n",
                         true});
    }
    for (const open_case& c : cases) {
        const std::string shown = c.name.substr(0, 40);
        tool_run run(c.unprivileged ? unprivileged_program(TERVALO_BINARY) : TERVALO_BINARY,
                     c.unprivileged ? unprivileged({TERVALO_BINARY, c.name})
                                    : std::vector<std::string>{c.name},
                     dir.path());
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), 255) << shown;
        EXPECT_EQ(run.output(), OPEN_FAILED) << shown;
        EXPECT_EQ(run.errors(), std::string("tervalo: ").append(c.name).append(c.reason)) << shown;
    }
    EXPECT_TRUE(holder->running());
    // Nothing reached the shell's terminal.
    EXPECT_TRUE(shell.receive_for(std::chrono::milliseconds(200)).empty());
}

TEST_F(ToolOverPty, APortThatGoesAwayIsReopenedWhenItsNameLeadsToADeviceAgain) {
    // The log changes nothing on the console; what it records is checked at the end.
    const auto tool = start({"COM3", "--log", "run.jsonl"});
    ASSERT_TRUE(next_greeting());
    device.send(frame_bytes(0xA2, "before"));
    ASSERT_TRUE(tool->wait_for_output("[info]:response: before\r\n", SHORT_WAIT)) << tool->output();
    ASSERT_TRUE(next_greeting());
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE, LONG_WAIT)) << tool->output();
    const long silent_ticks = cpu_ticks_over(*tool, std::chrono::seconds(4));

    // Both ends closed, as a pulled adapter leaves it, and the name COM3 leads nowhere
    // now. The link goes first: once both ends are closed the terminal's name is free,
    // and another terminal (a parallel test's, a new shell's) may take it.
    std::filesystem::remove(dir.path() / "COM3");
    device.hang_up();
    const std::string lost =
        "tervalo: COM3: port lost (Input/output error); reopening it every cycle\n";
    ASSERT_TRUE(tool->wait_for_errors(lost, LONG_WAIT)) << tool->errors();
    const std::string at_loss = tool->output();
    const long gone_ticks = cpu_ticks_over(*tool, std::chrono::seconds(4));
    // The cycles keep their timing and say only what they say for a silent device.
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE + NO_RESPONSE, LONG_WAIT, at_loss.size()))
        << tool->output();
    const std::string after_loss = tool->output().substr(at_loss.size());
    std::string only_warnings;
    for (std::size_t i = count_of(after_loss, NO_RESPONSE); i > 0; --i) {
        only_warnings += NO_RESPONSE;
    }
    EXPECT_EQ(after_loss, only_warnings);
    // A tool that spun on the hung-up line would use most of a core, hundreds of ticks
    // in four seconds; waiting, it uses a few. The margin absorbs a busy machine.
    EXPECT_LE(gone_ticks, silent_ticks + 40) << "silent " << silent_ticks;
    EXPECT_EQ(tool->errors(), lost);

    // The device comes back under the same name, on another terminal.
    pty_device returned;
    returned.link_as(dir.path() / "COM3");
    const std::string reopened = "tervalo: COM3: port reopened (" + returned.tty_path() + ")\n";
    ASSERT_TRUE(tool->wait_for_errors(reopened, LONG_WAIT)) << tool->errors();
    ASSERT_EQ(returned.receive(10, LONG_WAIT), greeting_bytes());
    returned.send(frame_bytes(0xA2, "after"));
    EXPECT_TRUE(tool->wait_for_output("[info]:response: after\r\n", SHORT_WAIT)) << tool->output();
    EXPECT_EQ(tool->errors(), lost + reopened);

    // Stopped now, its summary counts the cycles that began with the port away: every
    // no-response cycle after the loss but the one that found it (which may have printed
    // its line before the loss was seen here).
    kill(tool->pid(), SIGINT);
    ASSERT_NE(tool->wait_exit(SHORT_WAIT), -1);
    const std::size_t after_loss_cycles =
        count_of(tool->output().substr(at_loss.size()), NO_RESPONSE);
    const std::string errors = tool->errors();
    std::smatch found;
    ASSERT_TRUE(std::regex_search(errors, found, std::regex("port away ([0-9]+) cycles\n")))
        << errors;
    const std::size_t away_cycles = std::stoul(found[1]);
    EXPECT_GE(away_cycles, 1u) << errors;
    EXPECT_LE(away_cycles, after_loss_cycles) << errors;
    EXPECT_GE(away_cycles + 1, after_loss_cycles) << errors;

    // The log: the start, the loss and the return in their places among the greetings,
    // the cycles away as such, and the summary of the stop last.
    const std::vector<nlohmann::json> lines = read_log_lines(dir.path() / "run.jsonl");
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(lines.front().value("event", ""), "start");
    EXPECT_EQ(lines.front().value("path", ""), device.tty_path());
    std::vector<std::string> events;
    std::size_t away_lines = 0;
    for (const nlohmann::json& line : lines) {
        if (line.contains("event")) {
            events.push_back(line.value("event", ""));
        } else if (line.value("result", "") == "port_away") {
            ++away_lines;
            EXPECT_EQ(events.back(), "port_lost") << line.dump();
        }
    }
    EXPECT_EQ(events, (std::vector<std::string>{"start", "port_lost", "port_reopened", "summary"}));
    EXPECT_EQ(away_lines, away_cycles);
    EXPECT_EQ(event_lines(lines, "port_lost")[0].value("reason", ""), "Input/output error");
    EXPECT_EQ(event_lines(lines, "port_reopened")[0].value("path", ""), returned.tty_path());
    const nlohmann::json& summary = lines.back();
    EXPECT_EQ(summary.value("end", ""), "SIGINT");
    EXPECT_EQ(summary.value("port_away", std::size_t{0}), away_cycles);
    EXPECT_EQ(summary.value("greetings", std::size_t{0}), greeting_lines(lines).size());
    EXPECT_FALSE(summary.contains("passed"));
}

TEST_F(ToolOverPty, BoundedRunsEndWithTheirVerdict) {
    play_bounded_runs(
        [this](const std::vector<std::string>& args) {
            return std::make_unique<tool_run>(TERVALO_BINARY, args, dir.path());
        },
        "COM3", device, dir.path());
}

TEST_F(ToolOverPty, SigquitWritesTheSummarySoFarAndTheRunGoesOn) {
    const auto tool = start();
    for (const char* reply : {"one", "two"}) {
        ASSERT_TRUE(next_greeting());
        device.send(frame_bytes(0xA2, reply));
        ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, reply), SHORT_WAIT));
    }
    kill(tool->pid(), SIGQUIT);
    const std::string so_far =
        "--- tervalo summary ---\ngreetings 2, responses 2, 100.0% answered\n";
    ASSERT_TRUE(tool->wait_for_errors(so_far, SHORT_WAIT)) << tool->errors();
    ASSERT_TRUE(next_greeting());
    device.send(frame_bytes(0xA2, "three"));
    ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, "three"), SHORT_WAIT));
    EXPECT_TRUE(tool->running());
    kill(tool->pid(), SIGTERM);
    ASSERT_NE(tool->wait_exit(SHORT_WAIT), -1);
    EXPECT_EQ(tool->end_signal(), SIGTERM);
    const std::string errors = tool->errors();
    EXPECT_EQ(count_of(errors, "--- tervalo summary ---\n"), 2u) << errors;
    EXPECT_NE(errors.find("greetings 3, responses 3, 100.0% answered\n", so_far.size()),
              std::string::npos)
        << errors;
}

TEST_F(ToolOverPty, ALogThatCannotBeWrittenIsReportedOnceAndTheLinkGoesOn) {
    // /dev/full opens for appending and fails every write, as a full disk would.
    tool_run tool(TERVALO_BINARY, {"--log", "/dev/full", "-c", "3", "COM3"}, dir.path());
    for (const char* reply : {"a", "b", "c"}) {
        ASSERT_TRUE(next_greeting());
        device.send(frame_bytes(0xA2, reply));
    }
    EXPECT_EQ(tool.wait_exit(LONG_WAIT), 0) << tool.errors();
    EXPECT_EQ(tool.output(), BANNER + printed_line(RESPONSE_FORMAT, "a") +
                                 printed_line(RESPONSE_FORMAT, "b") +
                                 printed_line(RESPONSE_FORMAT, "c"));
    const std::string errors = tool.errors();
    EXPECT_TRUE(
        errors.starts_with("tervalo: --log /dev/full: write failed (No space left on "
                           "device); no more lines go to it\n--- tervalo summary ---\n"))
        << errors;
    EXPECT_EQ(count_of(errors, "\n"), 5u) << errors;
}

TEST_F(ToolOverPty, ALinkThatGoesAwayIsReopenedOnlyThroughTheLink) {
    // COM1 without the link would be the built-in /dev/ttyS0, which some machines (this
    // one, when run as root) can open: the tool must not land there.
    std::filesystem::rename(dir.path() / "COM3", dir.path() / "COM1");
    const auto tool = start({"COM1"});
    ASSERT_TRUE(next_greeting());
    std::filesystem::remove(dir.path() / "COM1");
    device.hang_up();
    const std::string lost =
        "tervalo: COM1: port lost (Input/output error); reopening it every cycle\n";
    ASSERT_TRUE(tool->wait_for_errors(lost, LONG_WAIT)) << tool->errors();
    const std::size_t at_loss = tool->output().size();
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE + NO_RESPONSE + NO_RESPONSE, LONG_WAIT, at_loss))
        << tool->output();
    EXPECT_EQ(tool->errors(), lost);

    pty_device returned;
    returned.link_as(dir.path() / "COM1");
    const std::string reopened = "tervalo: COM1: port reopened (" + returned.tty_path() + ")\n";
    ASSERT_TRUE(tool->wait_for_errors(lost + reopened, LONG_WAIT)) << tool->errors();
    EXPECT_EQ(returned.receive(10, LONG_WAIT), greeting_bytes());
}

TEST_F(ToolOverPty, AReopenLeavesATerminalASessionHoldsAlone) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting());
    std::filesystem::remove(dir.path() / "COM3");
    device.hang_up();
    const std::string lost =
        "tervalo: COM3: port lost (Input/output error); reopening it every cycle\n";
    ASSERT_TRUE(tool->wait_for_errors(lost, LONG_WAIT)) << tool->errors();

    // The name leads to someone's shell now: said once, and nothing is sent there.
    pty_device shell;
    auto session = std::make_unique<terminal_session>(shell.tty_path());
    shell.link_as(dir.path() / "COM3");
    const std::string held = "tervalo: COM3: " + shell.tty_path() +
                             " is in use as the terminal of sleep (pid " +
                             std::to_string(session->pid()) + ")\n";
    ASSERT_TRUE(tool->wait_for_errors(lost + held, LONG_WAIT)) << tool->errors();
    const std::size_t at_held = tool->output().size();
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE + NO_RESPONSE, LONG_WAIT, at_held))
        << tool->output();
    EXPECT_TRUE(shell.receive_for(std::chrono::milliseconds(100)).empty());
    EXPECT_EQ(tool->errors(), lost + held);

    // Once the session has ended, the terminal is free to use.
    session.reset();
    const std::string reopened = "tervalo: COM3: port reopened (" + shell.tty_path() + ")\n";
    ASSERT_TRUE(tool->wait_for_errors(lost + held + reopened, LONG_WAIT)) << tool->errors();
    EXPECT_EQ(shell.receive(10, LONG_WAIT), greeting_bytes());
}

// A descriptor of the test's, closed with the test.
class own_fd {
  public:
    explicit own_fd(int fd) : fd_(fd) {}
    ~own_fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    own_fd(const own_fd&) = delete;
    own_fd& operator=(const own_fd&) = delete;
    int get() const { return fd_; }

  private:
    int fd_;
};

// A pipe whose buffer the test has filled and whose reader never reads: a writer to it
// blocks. The write end is blocking again, as a program's standard error would be.
class full_pipe {
  public:
    full_pipe() {
        if (pipe2(ends_.data(), O_CLOEXEC | O_NONBLOCK) != 0) {
            throw std::runtime_error("pipe2");
        }
        const std::string filler(4096, 'x');
        while (write(ends_[1], filler.data(), filler.size()) > 0) {
        }
        fcntl(ends_[1], F_SETFL, fcntl(ends_[1], F_GETFL) & ~O_NONBLOCK);
    }
    ~full_pipe() {
        close(ends_[0]);
        close(ends_[1]);
    }
    full_pipe(const full_pipe&) = delete;
    full_pipe& operator=(const full_pipe&) = delete;
    int writer() const { return ends_[1]; }

  private:
    std::array<int, 2> ends_{};
};

TEST_F(ToolOverPty, AFailedWriteToStandardOutputEndsTheRunWithStatusOne) {
    const own_fd full(open("/dev/full", O_WRONLY | O_CLOEXEC));
    ASSERT_GE(full.get(), 0);
    const std::string no_space =
        "tervalo: cannot write to standard output (No space left on device)\n";
    const std::string closed = "tervalo: cannot write to standard output (Bad file descriptor)\n";
    // The banner is the first line to fail, so no greeting has gone out.
    const std::string empty_summary =
        "--- tervalo summary ---\ngreetings 0, responses 0\nwarnings: no response 0, crc 0, "
        "escape 0, length 0; port away 0 cycles\nround trip: no responses\n";
    struct output_case {
        std::vector<std::string> args;
        int output;
        std::string errors;
    };
    const std::vector<output_case> cases{
        {{"COM3"}, full.get(), no_space + empty_summary},
        // Found before the port is opened, so the port cannot become standard output.
        {{"COM3"}, CLOSED, closed},
        {{"--help"}, full.get(), no_space},
        {{"--version"}, full.get(), no_space},
        {{"--list"}, full.get(), no_space},
        {{}, full.get(), no_space},
        {{"--help"}, CLOSED, closed},
        {{"--version"}, CLOSED, closed},
    };
    for (const output_case& c : cases) {
        const std::string shown = (c.args.empty() ? "(none)" : c.args.front()) +
                                  (c.output == CLOSED ? " closed" : " full");
        tool_run run(TERVALO_BINARY, c.args, dir.path(), {.output = c.output});
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), 1) << shown;
        EXPECT_EQ(run.errors(), c.errors) << shown;
    }
    // Not one greeting, nor any line, reached the device.
    EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(200)).empty());
}

TEST_F(ToolOverPty, AClosedStandardInputOrErrorIsNotTakenByThePort) {
    const std::vector<run_streams> cases{
        {.input = CLOSED}, {.errors = CLOSED}, {.input = CLOSED, .errors = CLOSED}};
    for (const run_streams& streams : cases) {
        SCOPED_TRACE("input " + std::string(streams.input == CLOSED ? "closed" : "open") +
                     ", errors " + (streams.errors == CLOSED ? "closed" : "open"));
        tool_run tool(TERVALO_BINARY, {"COM3"}, dir.path(), streams);
        ASSERT_TRUE(tool.wait_for_output(BANNER, SHORT_WAIT)) << tool.output();
        ASSERT_TRUE(next_greeting());
        device.send(frame_bytes(0xA2, "seen"));
        ASSERT_TRUE(tool.wait_for_output("[info]:response: seen\r\n", SHORT_WAIT)) << tool.output();
        // The summary goes to the standard error the tool was given: the device gets
        // nothing but greetings.
        kill(tool.pid(), SIGINT);
        ASSERT_NE(tool.wait_exit(SHORT_WAIT), -1);
        EXPECT_EQ(tool.end_signal(), SIGINT);
        const byte_string rest = device.receive_for(std::chrono::milliseconds(300));
        EXPECT_TRUE(rest.empty() || rest == greeting_bytes()) << rest.size() << " bytes";
        if (streams.errors != CLOSED) {
            EXPECT_TRUE(tool.errors().starts_with("--- tervalo summary ---\n")) << tool.errors();
        }
    }
}

TEST_F(ToolOverPty, AStopEndsTheToolPromptlyWhenStandardErrorIsFull) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        const full_pipe stalled;
        tool_run tool(TERVALO_BINARY, {"COM3"}, dir.path(), {.errors = stalled.writer()});
        ASSERT_TRUE(tool.wait_for_output(BANNER, SHORT_WAIT)) << tool.output();
        ASSERT_TRUE(next_greeting());
        kill(tool.pid(), signal_number);
        EXPECT_NE(tool.wait_exit(SHORT_WAIT), -1) << "still running after the signal";
        EXPECT_EQ(tool.end_signal(), signal_number);
    }
}

TEST_F(ToolOverPty, TheLineIsSetTo921600BaudEightNoneOneWithoutFlowControl) {
    // By its COM name and by its device path alike (a terminal of its own: a stopped tool
    // leaves its exclusive flag, which only root may pass).
    pty_device by_path;
    const std::vector<std::pair<std::string, const pty_device*>> names{
        {"COM3", &device}, {by_path.tty_path(), &by_path}};
    for (const auto& [name, pty] : names) {
        set_wrong_line(pty->tty_path());
        const auto tool = start({name});
        ASSERT_EQ(pty->receive(10, LONG_WAIT), greeting_bytes()) << name;
        EXPECT_EQ(line_differences(pty->tty_path()), "") << name;
    }
}

}  // namespace
