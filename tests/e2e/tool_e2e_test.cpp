// The built tool against a device played over a pseudo-terminal: the rounds every build
// plays (tool_rounds.h), reaching the device through a link COM3 in the working
// directory, and what only Linux shows: exclusivity, permissions, terminals a session
// holds, device paths, links that come and go, /dev/full and the standard descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <atomic>
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
#include "tests/e2e/log_lines.h"
#include "tests/e2e/tool_harness.h"
#include "tests/e2e/tool_rounds.h"

namespace {

const std::string BANNER = BANNER_LINE;
const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string OPEN_FAILED = OPEN_FAILED_LINE;

class ToolOverPty : public ::testing::Test {
  protected:
    void SetUp() override { device.link_as(dir.path() / "COM3"); }

    // The device is reached as port, a link in the working directory.
    tool_target target(const std::string& port = "COM3") const {
        const std::filesystem::path at = dir.path();
        return {
            .start =
                [this, at](const std::vector<std::string>& args) {
                    device.allow_next_opener();
                    return std::make_unique<tool_run>(TERVALO_BINARY, args, at);
                },
            .dir = at,
            .port = port,
            .attach = [at, port](const pty_device& pty) { pty.link_as(at / port); },
            .detach = [at, port] { std::filesystem::remove(at / port); },
            .reopened_path = [](const pty_device& pty) { return pty.tty_path(); },
            .cpu_time_known = true,
        };
    }

    std::unique_ptr<tool_run> start(const std::vector<std::string>& args = {"COM3"}) const {
        return start_to_banner(target(), args);
    }

    scratch_dir dir;
    pty_device device;
};

class SameRounds : public ToolOverPty, public ::testing::WithParamInterface<tool_round> {};

TEST_P(SameRounds, OnLinux) {
    GetParam().play(target(), device);
}

INSTANTIATE_TEST_SUITE_P(Tool, SameRounds, ::testing::ValuesIn(same_rounds()),
                         ::testing::PrintToStringParamName());

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(ToolOverPty, ASecondInstanceCannotOpenTheSamePort) {
    const auto first = start();
    {
        tool_run second(TERVALO_BINARY, {"COM3"}, dir.path());
        EXPECT_EQ(second.wait_exit(SHORT_WAIT), 255);
        EXPECT_EQ(second.output(), OPEN_FAILED);
    }
    // --list names both ends: this test plays the device, the first instance holds it.
    // Who has a file that is no serial device open is not said.
    std::filesystem::create_symlink("/dev/null", dir.path() / "COM12");
    tool_run list(TERVALO_BINARY, {"--list"}, dir.path());
    std::string me;
    std::ifstream("/proc/self/comm") >> me;
    EXPECT_EQ(list.wait_exit(SHORT_WAIT), 0);
    EXPECT_NE(
        list.output().find("COM3 -> " + device.tty_path() + ": pseudo-terminal played by " + me +
                           " (pid " + std::to_string(getpid()) + "); in use by tervalo (pid " +
                           std::to_string(first->pid()) + ")\n"),
        std::string::npos)
        << list.output();
    EXPECT_NE(list.output().find("COM12 -> /dev/null: not a serial device\n"), std::string::npos)
        << list.output();
    // The port is freed when the holder ends, even without a clean-up of its own.
    first->stop();
    const auto third = start();
    EXPECT_TRUE(next_greeting(device));
}

// Runs args in a user and mount namespace of their own after setup (shell commands: mounts
// there need no root).
std::unique_ptr<tool_run> run_in_namespace(const std::string& setup, std::vector<std::string> args,
                                           const std::filesystem::path& cwd) {
    args.insert(args.begin(), {"-Urm", "/bin/sh", "-c", setup + " && exec \"$@\"", "sh"});
    return std::make_unique<tool_run>("/usr/bin/unshare", args, cwd);
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
    // One that also keeps the master, as a program that starts a shell does.
    pty_device own;
    terminal_session own_session(own.tty_path(), "/bin/sleep", true, own.device_end());
    own.link_as(dir.path() / "COM11");
    // A program that has it open, not alone, named as the one that takes new modems.
    pty_device probed;
    std::filesystem::create_symlink("/bin/sleep", dir.path() / "ModemManager");
    terminal_session prober(probed.tty_path(), (dir.path() / "ModemManager").string(), false);
    probed.link_as(dir.path() / "COM10");
    // Each text is built up from a std::string, never as a literal + a temporary: GCC 12 at
    // -O3 takes the insert at the front that this makes for an overlapping copy
    // (-Wrestrict, a known false alarm).
    const std::string in_shell = std::string("in use as the terminal of sleep (pid ") +
                                 std::to_string(session.pid()) + ")\n";
    const std::string by_tool =
        std::string("in use by tervalo (pid ") + std::to_string(holder->pid()) + ")\n";
    const std::string by_prober =
        std::string("in use by ModemManager (pid ") + std::to_string(prober.pid()) +
        R"(); a udev rule setting ENV{ID_MM_DEVICE_IGNORE}="1" keeps it off the port)" + "\n";
    const std::string notes = (dir.path() / "notes.txt").string();

    const std::string bad_name =
        ": not a port name; use COM<n>, such as COM3 (a link of that name in the working "
        "directory, or else /dev/ttyS<n-1>), or a device path, such as /dev/ttyUSB0\n";
    std::vector<open_case> cases = open_failures_alike(bad_name);
    const std::vector<open_case> linux_only{
        {"com3", bad_name},
        {"dev/ttyS0", bad_name},
        {std::string("/").append(2000, 'x'), bad_name},
        {"COM5", ": no such device (/nonexistent/tty)\n"},
        {"/nonexistent/tty", ": no such device (/nonexistent/tty)\n"},
        {"COM99", ": no such device (/dev/ttyS98)\n"},
        {"COM99999999999", ": no such device (/dev/ttyS2147483646)\n"},
        {"COM5\\..\\..\\etc\\passwd", ": no such device (COM5\\..\\..\\etc\\passwd)\n"},
        // Not terminals, and never opened for reading or writing.
        {"COM4", ": not a serial device (notes.txt)\n"},
        {"COM8", ": not a serial device (/dev/zero)\n"},
        {"/dev/zero", ": not a serial device (/dev/zero)\n"},
        {"/dev/ptmx", ": not a serial device (/dev/ptmx)\n"},
        {"/dev/tty", ": not a serial device (/dev/tty)\n"},
        {notes, ": not a serial device (" + notes + ")\n"},
        {"COM3", ": " + held + " is " + by_tool},
        {held, ": " + by_tool},
        {"COM7", ": " + shell.tty_path() + " is " + in_shell},
        {"COM11", ": " + own.tty_path() + " is in use as the terminal of sleep (pid " +
                      std::to_string(own_session.pid()) + ")\n"},
        {shell.tty_path(), ": " + in_shell},
        {"COM10", ": " + probed.tty_path() + " is " + by_prober},
        // From 10 up only the number counts.
        {"COM+10x", ": " + probed.tty_path() + " is " + by_prober},
        {"COM 010" + std::string(1100, 'x'), ": " + probed.tty_path() + " is " + by_prober},
    };
    cases.insert(cases.end(), linux_only.begin(), linux_only.end());
    check_open_failures(target().start, cases);
    // The system console: a terminal of the test's, as /proc/consoles lists it where the tool
    // runs. Only these rows run in that namespace: /proc there hides the other rows' holders.
    pty_device console;
    console.link_as(dir.path() / "COM2");
    const std::string pts = "pts" + console.tty_path().substr(std::strlen("/dev/pts/"));
    struct stat node {};
    ASSERT_EQ(stat(console.tty_path().c_str(), &node), 0);
    std::ofstream(dir.path() / "consoles")
        << "tty0  -WU (E  p  )    4:1\n"
        << pts << "  -W- (EC p a)  " << major(node.st_rdev) << ":" << minor(node.st_rdev) << "\n";
    check_open_failures(
        [this](const std::vector<std::string>& args) {
            return run_in_namespace("mount --bind consoles /proc/consoles",
                                    {TERVALO_BINARY, args[0]}, dir.path());
        },
        {{"COM2",
          ": " + console.tty_path() + " is the system console (" + pts + " in /proc/consoles)\n"}});
    // Opened as the unprivileged user.
    cases = {{"COM6", ": permission denied (" + locked.tty_path() + "); " +
                          owner_of(locked.tty_path()) + "\n"}};
    if (has_dialout) {
        cases.push_back({"COM9", ": permission denied (" + dialout_only.tty_path() +
                                     "); add yourself to the dialout group (sudo usermod -aG "
                                     "dialout $USER) and log in again\n"});
    }
    check_open_failures(
        [this](const std::vector<std::string>& args) {
            return std::make_unique<tool_run>(unprivileged_program(TERVALO_BINARY),
                                              unprivileged({TERVALO_BINARY, args[0]}), dir.path());
        },
        cases);
    EXPECT_TRUE(holder->running());
    // Nothing reached the shells' terminals.
    EXPECT_TRUE(shell.receive_for(std::chrono::milliseconds(200)).empty());
    EXPECT_TRUE(own.receive_for(std::chrono::milliseconds(200)).empty());
}

TEST_F(ToolOverPty, APortThatGoesAwayIsReopenedWhenItsNameLeadsToADeviceAgain) {
    // Through a link named COM1, which without the link would be the built-in /dev/ttyS0
    // that some machines (this one, when run as root) can open: the tool must not land
    // there while the link is missing. The log changes nothing on the console; what it
    // records is checked at the end.
    std::filesystem::rename(dir.path() / "COM3", dir.path() / "COM1");
    const auto tool = start({"COM1", "--log", "run.jsonl"});
    const port_loss_seen seen = play_port_loss_and_return(target("COM1"), *tool, device);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(seen.lost,
              "tervalo: COM1: port lost (Input/output error); reopening it every cycle\n");

    // Stopped now, its summary counts the cycles that began with the port away: every
    // no-response cycle after the loss but the one that found it (which may have printed
    // its line before the loss was seen here).
    kill(tool->pid(), SIGINT);
    ASSERT_NE(tool->wait_exit(SHORT_WAIT), -1);
    const std::size_t after_loss_cycles =
        count_of(tool->output().substr(seen.output_at_loss), NO_RESPONSE);
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
    EXPECT_EQ(event_lines(lines, "port_reopened")[0].value("path", ""), seen.again->tty_path());
    const nlohmann::json& summary = lines.back();
    EXPECT_EQ(summary.value("end", ""), "SIGINT");
    EXPECT_EQ(summary.value("port_away", std::size_t{0}), away_cycles);
    EXPECT_EQ(summary.value("greetings", std::size_t{0}), greeting_lines(lines).size());
    EXPECT_FALSE(summary.contains("passed"));
}

TEST_F(ToolOverPty, SigquitWritesTheSummarySoFarAndTheRunGoesOn) {
    const auto tool = start();
    for (const char* reply : {"one", "two"}) {
        ASSERT_TRUE(next_greeting(device));
        device.send(frame_bytes(0xA2, reply));
        ASSERT_TRUE(tool->wait_for_output(printed_line(RESPONSE_FORMAT, reply), SHORT_WAIT));
    }
    kill(tool->pid(), SIGQUIT);
    const std::string so_far =
        "--- tervalo summary ---\ngreetings 2, responses 2, 100.0% answered\n";
    ASSERT_TRUE(tool->wait_for_errors(so_far, SHORT_WAIT)) << tool->errors();
    ASSERT_TRUE(next_greeting(device));
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

// The record is kept from the first moment: a port that cannot be opened still leaves
// the start and a summary that says why the run ended.
TEST_F(ToolOverPty, APortThatCannotBeOpenedStillLeavesItsRecord) {
    tool_run tool(TERVALO_BINARY, {"--log", "run.jsonl", "-c", "2", "COM3x"}, dir.path());
    EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 255);
    const std::vector<nlohmann::json> lines = read_log_lines(dir.path() / "run.jsonl");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].value("event", ""), "start");
    EXPECT_TRUE(lines[0]["path"].is_null());
    EXPECT_EQ(lines[1].value("end", ""), "open_failed");
    EXPECT_EQ(lines[1].value("reason", ""), "no such device (COM3x)");
    EXPECT_EQ(lines[1].value("greetings", -1), 0);
    EXPECT_EQ(lines[1].value("passed", true), false) << "a bounded run that never began failed";
    EXPECT_EQ(lines[0].value("run", "0"), lines[1].value("run", "1"));
}

// The reading end of a FIFO, read in a thread: `pace` bytes every 2 ms until
// `stall_after` bytes, then nothing until finish() takes the rest.
class fifo_reader {
  public:
    fifo_reader(const std::filesystem::path& path, std::size_t pace, std::size_t stall_after)
        : fd_(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)), thread_([=, this] {
              std::vector<char> buffer(pace);
              for (ssize_t n = 0; !done_;
                   std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
                  if (got_ < stall_after && (n = read(fd_, buffer.data(), pace)) > 0) {
                      text_.append(buffer.data(), static_cast<std::size_t>(n));
                      got_ = text_.size();
                  }
              }
          }) {}
    ~fifo_reader() { finish(); }
    std::string finish() {
        done_ = true;
        if (thread_.joinable()) {
            thread_.join();
            std::array<char, 65536> buffer{};
            for (ssize_t n = 0; (n = read(fd_, buffer.data(), buffer.size())) > 0;) {
                text_.append(buffer.data(), static_cast<std::size_t>(n));
            }
            close(fd_);
        }
        return text_;
    }

  private:
    int fd_;
    std::string text_;
    std::atomic<std::size_t> got_{0};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

std::string contents_of(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The lines of a log that end in a line feed, parsed (discarded where not JSON), and the
// text after the last line feed in *rest.
std::vector<nlohmann::json> whole_lines(const std::string& text, std::string* rest) {
    std::vector<nlohmann::json> lines;
    std::size_t at = 0;
    for (std::size_t end = 0; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        lines.push_back(nlohmann::json::parse(text.substr(at, end - at), nullptr, false));
    }
    *rest = text.substr(at);
    return lines;
}

// The run log against what its writes meet: a disk that fills, a reader that is slow or
// stalls, signals that interrupt the writes. Every line that reaches it is whole, a stop
// is never held up, and a bounded run whose record was lost ends with status 1.
TEST_F(ToolOverPty, TheLogStaysWholeWhateverItsWritesMeet) {
    enum class fault { full_disk, ends_mid_line, slow_fifo_signal_storm, stalled_fifo_stop };
    // A payload whose bytes each take six characters in the log: lines far longer than
    // a pipe holds.
    const std::string wide(20000, '\x01');
    const struct {
        const char* name;
        fault kind;
        std::string payload;
        int status;  // -1: ended by SIGINT
    } rows[] = {
        {"a disk that fills mid-line", fault::full_disk, std::string(1500, 'x'), 1},
        {"a log that a killed run left mid-line", fault::ends_mid_line, "ok", 0},
        {"a slow FIFO and a storm of SIGQUIT", fault::slow_fifo_signal_storm, wide, 0},
        {"a stalled FIFO and SIGINT", fault::stalled_fifo_stop, wide, -1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::filesystem::path folder = dir.path() / "log";
        std::filesystem::create_directory(folder);
        std::filesystem::path log = folder / "run.jsonl";
        std::unique_ptr<fifo_reader> reader;
        std::unique_ptr<tool_run> small_disk;
        if (row.kind == fault::full_disk) {
            // A small tmpfs over the folder in a namespace that a sleeper keeps; the tool
            // reaches it through the sleeper's root.
            small_disk = run_in_namespace(
                "mount -t tmpfs -o size=8k none log && head -c 3000 "
                "/dev/zero >log/filler && echo mounted",
                {"/bin/sleep", "600"}, dir.path());
            ASSERT_TRUE(small_disk->wait_for_output("mounted", SHORT_WAIT)) << small_disk->errors();
            log = "/proc/" + std::to_string(small_disk->pid()) + "/root" + log.string();
        } else if (row.kind == fault::ends_mid_line) {
            std::ofstream(log) << R"({"t":"2026-12-08T14:03:07.4)";
        } else {
            ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
            const bool stall = row.kind == fault::stalled_fifo_stop;
            reader =
                std::make_unique<fifo_reader>(log, stall ? 65536 : 512, stall ? 1000 : SIZE_MAX);
        }
        const bool bounded = row.status >= 0;
        std::vector<std::string> args{"--log", log.string(), "-q", "COM3"};
        if (bounded) {
            // Any answer passes: the status speaks of the record alone.
            args.insert(args.end(), {"-c", "3", "--max-loss", "100"});
        }
        tool_run tool(TERVALO_BINARY, args, dir.path());
        // SIGQUIT is the tool's own once the cycles have begun.
        ASSERT_TRUE(next_greeting(device));
        std::atomic<bool> storming{row.kind == fault::slow_fifo_signal_storm};
        std::thread storm([&] {
            while (storming) {
                kill(tool.pid(), SIGQUIT);
                std::this_thread::sleep_for(std::chrono::milliseconds(3));
            }
        });
        for (int cycle = 0; cycle < (bounded ? 3 : 1); ++cycle) {
            if (cycle > 0 && !next_greeting(device)) {
                break;
            }
            device.send(frame_bytes(0xA2, row.payload));
        }
        if (!bounded) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));  // blocked mid-line
            kill(tool.pid(), SIGINT);
        }
        const int status = tool.wait_exit(SHORT_WAIT);
        storming = false;
        storm.join();
        ASSERT_NE(status, -1) << "still running";
        EXPECT_EQ(bounded ? status : -tool.end_signal(), bounded ? row.status : -SIGINT);

        std::string rest;
        const std::string text = reader ? reader->finish() : contents_of(log);
        std::vector<nlohmann::json> lines = whole_lines(text, &rest);
        const std::string errors = tool.errors();
        switch (row.kind) {
            case fault::full_disk:
                EXPECT_EQ(rest, "");
                EXPECT_NE(errors.find(": write failed (No space left on device); no more lines go "
                                      "to it\n"),
                          std::string::npos)
                    << errors;
                EXPECT_TRUE(errors.ends_with("run.jsonl: this run's record is incomplete\n"))
                    << errors;
                break;
            case fault::ends_mid_line:
                // The cut line keeps a line of its own; the run's lines follow it whole.
                ASSERT_FALSE(lines.empty());
                EXPECT_TRUE(lines.front().is_discarded());
                lines.erase(lines.begin());
                EXPECT_EQ(lines.size(), 5u);
                EXPECT_EQ(rest, "");
                break;
            case fault::slow_fifo_signal_storm:
                EXPECT_EQ(rest, "");
                ASSERT_EQ(lines.size(), 5u);
                EXPECT_EQ(lines.back().value("end", ""), "count");
                break;
            case fault::stalled_fifo_stop:
                // The line the stop cut stays cut in the pipe; nothing is glued onto it.
                EXPECT_EQ(rest.find("summary"), std::string::npos);
                break;
        }
        for (const nlohmann::json& line : lines) {
            ASSERT_TRUE(line.is_object());
            EXPECT_EQ(line.value("run", ""), lines.front().value("run", "")) << line.dump();
        }
        std::filesystem::remove_all(folder);
    }
}

TEST_F(ToolOverPty, AReopenLeavesATerminalASessionHoldsAlone) {
    const auto tool = start();
    ASSERT_TRUE(next_greeting(device));
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
    const std::unique_ptr<FILE, int (*)(FILE*)> full_file(std::fopen("/dev/full", "we"),
                                                          std::fclose);
    ASSERT_NE(full_file, nullptr);
    const int full = fileno(full_file.get());
    const std::string no_space =
        "tervalo: cannot write to standard output (No space left on device)\n";
    const std::string closed = "tervalo: cannot write to standard output (Bad file descriptor)\n";
    // The banner is the first line to fail, so no greeting has gone out.
    const std::string empty_summary =
        "--- tervalo summary ---\ngreetings 0, responses 0\nwarnings: no response 0, crc 0, "
        "escape 0, length 0; port away 0 cycles\nno response by cause: silent 0, noise 0, cut "
        "0, bad_frame 0, other_type 0\nround trip: no responses\n";
    struct output_case {
        std::vector<std::string> args;
        int output;
        std::string errors;
    };
    const std::vector<output_case> cases{
        {{"COM3"}, full, no_space + empty_summary},
        // Found before the port is opened, so the port cannot become standard output.
        {{"COM3"}, CLOSED, closed},
        {{"--help"}, full, no_space},
        {{"--version"}, full, no_space},
        {{"--list"}, full, no_space},
        {{}, full, no_space},
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
        device.allow_next_opener();
        tool_run tool(TERVALO_BINARY, {"COM3"}, dir.path(), streams);
        ASSERT_TRUE(tool.wait_for_output(BANNER, SHORT_WAIT)) << tool.output();
        ASSERT_TRUE(next_greeting(device));
        device.send(frame_bytes(0xA2, "seen"));
        ASSERT_TRUE(tool.wait_for_output("[info]:response: seen\r\n", SHORT_WAIT)) << tool.output();
        // The summary goes to the standard error the tool was given: the device gets
        // nothing but greetings.
        kill(tool.pid(), SIGINT);
        ASSERT_NE(tool.wait_exit(SHORT_WAIT), -1);
        EXPECT_EQ(tool.end_signal(), SIGINT);
        EXPECT_FALSE(device.held_exclusively());
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
        device.allow_next_opener();
        const full_pipe stalled;
        tool_run tool(TERVALO_BINARY, {"COM3"}, dir.path(), {.errors = stalled.writer()});
        ASSERT_TRUE(tool.wait_for_output(BANNER, SHORT_WAIT)) << tool.output();
        ASSERT_TRUE(next_greeting(device));
        kill(tool.pid(), signal_number);
        EXPECT_NE(tool.wait_exit(SHORT_WAIT), -1) << "still running after the signal";
        EXPECT_EQ(tool.end_signal(), signal_number);
    }
}

TEST_F(ToolOverPty, TheLineIsSetThroughADevicePathToo) {
    // A terminal of its own, and a run that ends by itself: it leaves no exclusive flag
    // behind, which only root could pass.
    const pty_device by_path;
    set_wrong_line(by_path);
    const auto tool = start({"-c", "1", "-W", "0.05", by_path.tty_path()});
    ASSERT_TRUE(next_greeting(by_path));
    EXPECT_EQ(line_differences(by_path), "");
    EXPECT_EQ(tool->wait_exit(SHORT_WAIT), 1);
    EXPECT_FALSE(by_path.held_exclusively());
}

}  // namespace
