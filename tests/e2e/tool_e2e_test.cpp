// The built tool against a device played over a pseudo-terminal: the rounds every build
// plays (tool_rounds.h), reaching the device through a link COM3 in the working
// directory, and what only Linux shows: exclusivity, permissions, terminals others hold,
// the system console, a full disk, FIFOs, signals and the standard descriptors.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>

#include "link/link_protocol.h"
#include "link/output_lines.h"
#include "tests/e2e/log_lines.h"
#include "tests/e2e/tool_rounds.h"
#include "tests/tables.h"

namespace {

const std::string NO_RESPONSE = NO_RESPONSE_LINE;
const std::string SUMMARY = "--- tervalo summary ---\n";

// Runs args in a user and mount namespace of their own after setup (shell commands: mounts
// there need no root).
std::unique_ptr<tool_run> run_in_namespace(const std::string& setup, std::vector<std::string> args,
                                           const std::filesystem::path& cwd) {
    args.insert(args.begin(), {"-Urm", "/bin/sh", "-c", setup + " && exec \"$@\"", "sh"});
    return std::make_unique<tool_run>("/usr/bin/unshare", args, cwd);
}

// A program holding a terminal as `<name> 600`: as its controlling terminal (a shell's, a
// getty's; with the master end too when keep_master, as a program that starts a shell
// does), or only open (as a program probing a port has it). Returned once it runs.
std::unique_ptr<tool_run> hold(const pty_device& pty, const std::filesystem::path& dir,
                               const std::string& name, bool controlling,
                               bool keep_master = false) {
    std::filesystem::create_symlink("/bin/sleep", dir / name);
    // A session leader that opens a terminal without O_NOCTTY takes it as its own.
    const int tty = open(pty.tty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    auto held =
        controlling
            ? std::make_unique<tool_run>(
                  "/bin/sh",
                  std::vector<std::string>{"-c", "exec ./" + name + " 600 <>" + pty.tty_path()},
                  dir, keep_master ? run_streams{.output = pty.device_end()} : run_streams{})
            : std::make_unique<tool_run>(dir / name, std::vector<std::string>{"600"}, dir,
                                         run_streams{.input = tty});
    close(tty);
    for (std::string comm; comm != name;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::ifstream("/proc/" + std::to_string(held->pid()) + "/comm") >> comm;
    }
    return held;
}

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
            .bad_name =
                ": not a port name; use COM<n>, such as COM3 (a link of that name in the "
                "working directory, or else /dev/ttyS<n-1>), or a device path, such as "
                "/dev/ttyUSB0\n",
            .stopped_status = 128 + SIGINT,
            .stopped_end = "SIGINT",
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

TEST_F(ToolOverPty, APortThatGoesAwayIsReopenedWhenItsNameLeadsToADeviceAgain) {
    // Through a link named COM1, which without the link would be the built-in /dev/ttyS0
    // that root can open here: the tool must not land there while the link is missing.
    std::filesystem::rename(dir.path() / "COM3", dir.path() / "COM1");
    play_port_loss_and_return(target("COM1"), device);
}

TEST_F(ToolOverPty, AFailedOpenSaysWhyOnStandardErrorAndListNamesTheHolders) {
    const auto holder = start();  // a first instance holds COM3
    const std::string held = device.tty_path();
    std::ofstream(dir.path() / "notes.txt") << "a plain file, not a terminal";
    std::filesystem::create_symlink("notes.txt", dir.path() / "COM4");
    std::filesystem::create_symlink("/nonexistent/tty", dir.path() / "COM5");
    // Opened by the unprivileged user nobody (or, when not root, by its owner after a
    // chmod 000), which may not open a terminal it does not own.
    const pty_device locked;
    std::filesystem::permissions(locked.tty_path(), std::filesystem::perms::none);
    locked.link_as(dir.path() / "COM6");
    std::filesystem::permissions(dir.path(), std::filesystem::perms::all);
    // Someone's shell, and a program that has a terminal open, named as the one that takes
    // new modems.
    const pty_device shell;
    const pty_device probed;
    const auto session = hold(shell, dir.path(), "sleep", true);
    const auto prober = hold(probed, dir.path(), "ModemManager", false);
    const pty_device own;
    const auto owner = hold(own, dir.path(), "screen", true, true);
    shell.link_as(dir.path() / "COM7");
    own.link_as(dir.path() / "COM11");
    probed.link_as(dir.path() / "COM10");
    const std::string in_shell =
        " is in use as the terminal of sleep (pid " + std::to_string(session->pid()) + ")\n";
    const std::string by_tool =
        " is in use by tervalo (pid " + std::to_string(holder->pid()) + ")\n";
    const std::string by_prober =
        ": " + probed.tty_path() + " is in use by ModemManager (pid " +
        std::to_string(prober->pid()) +
        R"(); a udev rule setting ENV{ID_MM_DEVICE_IGNORE}="1" keeps it off the port)" + "\n";
    const std::string bad_name = target().bad_name;
    std::vector<open_case> cases{
        {std::string("/").append(2000, 'x'), bad_name},
        {"COM3", ": " + held + by_tool},
        {held, ":" + by_tool.substr(3)},
        {"COM7", ": " + shell.tty_path() + in_shell},
        {"COM11", ": " + own.tty_path() + " is in use as the terminal of screen (pid " +
                      std::to_string(owner->pid()) + ")\n"},
        {"COM+10x", by_prober},  // from 10 up only the number counts
        {"COM 010" + std::string(1100, 'x'), by_prober}};
    for (const table_row& row : table("tool_open_failures_linux")) {
        cases.push_back({row[0], row[1] == "@bad" ? bad_name : row[1]});
    }
    check_open_failures(target().start, cases);
    // Opened as the unprivileged user: the owner is named.
    tool_run refused(unprivileged_program(TERVALO_BINARY), unprivileged({TERVALO_BINARY, "COM6"}),
                     dir.path());
    EXPECT_EQ(refused.wait_exit(LONG_WAIT), 255);
    EXPECT_TRUE(std::regex_match(
        refused.errors(), std::regex("tervalo: COM6: permission denied \\(" + locked.tty_path() +
                                     "\\); owned by \\S+ \\(group "
                                     "\\S+, mode 000\\)\n")))
        << refused.errors();
    // The system console: a terminal of the test's, as /proc/consoles lists it where the tool
    // runs (a namespace of its own, whose /proc hides the other rows' holders).
    const pty_device console;
    console.link_as(dir.path() / "COM2");
    const std::string pts = "pts" + console.tty_path().substr(std::strlen("/dev/pts/"));
    struct stat node {};
    ASSERT_EQ(stat(console.tty_path().c_str(), &node), 0);
    std::ofstream(dir.path() / "consoles")
        << "tty0  -WU (E  p  )    4:1\n"
        << pts << "  -W- (EC p a)  " << major(node.st_rdev) << ":" << minor(node.st_rdev) << "\n";
    const auto on_console = run_in_namespace("mount --bind consoles /proc/consoles",
                                             {TERVALO_BINARY, "COM2"}, dir.path());
    EXPECT_EQ(on_console->wait_exit(LONG_WAIT), 255);
    EXPECT_EQ(on_console->errors(), "tervalo: COM2: " + console.tty_path() +
                                        " is the system console (" + pts + " in /proc/consoles)\n");

    // --list names both ends: this test plays the device, the first instance holds it.
    std::filesystem::create_symlink("/dev/null", dir.path() / "COM12");
    tool_run list(TERVALO_BINARY, {"--list"}, dir.path());
    std::string me;
    std::ifstream("/proc/self/comm") >> me;
    EXPECT_EQ(list.wait_exit(SHORT_WAIT), 0);
    EXPECT_NE(list.output().find("COM3 -> " + held + ": pseudo-terminal played by " + me +
                                 " (pid " + std::to_string(getpid()) + ");" + by_tool.substr(3)),
              std::string::npos)
        << list.output();
    EXPECT_NE(list.output().find("COM12 -> /dev/null: not a serial device\n"), std::string::npos);
    // Nothing reached the others' terminals; the port is freed when its holder is killed.
    EXPECT_TRUE(shell.receive_for(std::chrono::milliseconds(100)).empty());
    EXPECT_TRUE(probed.receive_for(std::chrono::milliseconds(100)).empty());
    holder->stop();
    const auto third = start();
    EXPECT_TRUE(next_greeting(device));
}

TEST_F(ToolOverPty, AReopenLeavesATerminalASessionHoldsAlone) {
    const auto tool = start({"COM3", "-i", "0.05", "-W", "0.1"});
    ASSERT_TRUE(next_greeting(device));
    std::filesystem::remove(dir.path() / "COM3");
    device.hang_up();
    const std::string lost =
        "tervalo: COM3: port lost (Input/output error); reopening it every cycle\n";
    ASSERT_TRUE(tool->wait_for_errors(lost, LONG_WAIT)) << tool->errors();
    // The name leads to someone's shell now: said once, and nothing is sent there.
    const pty_device shell;
    auto session = hold(shell, dir.path(), "sleep", true);
    shell.link_as(dir.path() / "COM3");
    const std::string held = "tervalo: COM3: " + shell.tty_path() +
                             " is in use as the terminal of sleep (pid " +
                             std::to_string(session->pid()) + ")\n";
    ASSERT_TRUE(tool->wait_for_errors(lost + held, LONG_WAIT)) << tool->errors();
    const std::size_t at_held = tool->output().size();
    ASSERT_TRUE(tool->wait_for_output(NO_RESPONSE + NO_RESPONSE, LONG_WAIT, at_held));
    EXPECT_TRUE(shell.receive_for(std::chrono::milliseconds(100)).empty());
    EXPECT_EQ(tool->errors(), lost + held);
    // Once the session has ended, the terminal is free to use.
    session.reset();
    const std::string reopened = "tervalo: COM3: port reopened (" + shell.tty_path() + ")\n";
    ASSERT_TRUE(tool->wait_for_errors(lost + held + reopened, LONG_WAIT)) << tool->errors();
    EXPECT_TRUE(next_greeting(shell));
}

// The run log against what its writes meet: a disk that fills, a reader that is slow or
// stalls, signals that interrupt the writes. Every line that reaches it is whole, a stop
// is never held up, a bounded run whose record was lost ends with status 1, and SIGQUIT
// writes the summary so far while the run goes on.
TEST_F(ToolOverPty, TheLogStaysWholeWhateverItsWritesMeet) {
    enum class fault { full_disk, slow_fifo_signal_storm, stalled_fifo_stop };
    // A payload whose bytes each take six characters in the log: lines far longer than
    // a pipe holds.
    const std::string wide(20000, '\x01');
    for (const fault kind :
         {fault::full_disk, fault::slow_fifo_signal_storm, fault::stalled_fifo_stop}) {
        SCOPED_TRACE(static_cast<int>(kind));
        const std::filesystem::path folder = dir.path() / "log";
        std::filesystem::create_directory(folder);
        std::filesystem::path log = folder / "run.jsonl";
        std::unique_ptr<tool_run> small_disk;
        std::string text;
        // Joined, after a stop request, however the row ends.
        std::jthread reader;
        if (kind == fault::full_disk) {
            // A small tmpfs over the folder in a namespace that a sleeper keeps; the tool
            // reaches it through the sleeper's root.
            small_disk = run_in_namespace(
                "mount -t tmpfs -o size=8k none log && head -c 3000 /dev/zero >log/filler && "
                "echo mounted",
                {"/bin/sleep", "600"}, dir.path());
            ASSERT_TRUE(small_disk->wait_for_output("mounted", SHORT_WAIT)) << small_disk->errors();
            log = "/proc/" + std::to_string(small_disk->pid()) + "/root" + log.string();
        } else {
            ASSERT_EQ(mkfifo(log.c_str(), 0600), 0);
            // 512 bytes every 2 ms; the stalling reader stops after 1000 until the run ends.
            const bool stall = kind == fault::stalled_fifo_stop;
            reader = std::jthread([&, stall](const std::stop_token& stopped) {
                const int fd = open(log.c_str(), O_RDONLY | O_CLOEXEC);
                std::array<char, 512> buffer{};
                for (ssize_t n = 1; n > 0;
                     std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
                    if (!stall || text.size() < 1000 || stopped.stop_requested()) {
                        n = read(fd, buffer.data(), buffer.size());
                        text.append(buffer.data(),
                                    static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
                    }
                }
                close(fd);
            });
        }
        const bool bounded = kind != fault::stalled_fifo_stop;
        std::vector<std::string> args{"--log", log.string(), "-q", "-i", "0.05", "COM3"};
        if (bounded) {
            // Any answer passes: the status speaks of the record alone.
            args.insert(args.end(), {"-c", "3", "--max-loss", "100"});
        }
        device.allow_next_opener();
        tool_run tool(TERVALO_BINARY, args, dir.path());
        // SIGQUIT is the tool's own once the cycles have begun.
        ASSERT_TRUE(next_greeting(device));
        const bool storming = kind == fault::slow_fifo_signal_storm;
        std::jthread storm([&](const std::stop_token& stop) {
            for (; storming && !stop.stop_requested();
                 std::this_thread::sleep_for(std::chrono::milliseconds(3))) {
                kill(tool.pid(), SIGQUIT);
            }
        });
        const std::string payload = kind == fault::full_disk ? std::string(1500, 'x') : wide;
        for (int cycle = 0; cycle < (bounded ? 3 : 1) && (cycle == 0 || next_greeting(device));
             ++cycle) {
            device.send(frame_bytes(FRAME_TYPE_TEXT, payload));
        }
        if (!bounded) {
            // Blocked mid-line on the stalled reader.
            ASSERT_TRUE(tool.wait_for_output("[info]", SHORT_WAIT));
            kill(tool.pid(), SIGINT);
        }
        const int status = tool.wait_exit(LONG_WAIT);
        storm.request_stop();
        storm.join();
        if (reader.joinable()) {
            reader.request_stop();
            reader.join();
        } else {
            text = contents_of(log);
        }
        const std::string rest = text.substr(text.rfind('\n') + 1);
        const std::string errors = tool.errors();
        // A loaded machine may hand the wide replies over late enough to cut them all: the
        // run then fails for want of an answer, not this row's concern; its record is.
        const bool answered =
            errors.find(", responses 0,", errors.rfind(SUMMARY)) == std::string::npos;
        EXPECT_EQ(status, kind == fault::slow_fifo_signal_storm ? (answered ? 0 : 1)
                          : kind == fault::full_disk            ? 1
                                                                : 128 + SIGINT);
        if (kind == fault::stalled_fifo_stop) {
            // The line the stop cut stays cut in the pipe; nothing is glued onto it.
            EXPECT_EQ(rest.find("summary"), std::string::npos);
        } else {
            EXPECT_EQ(rest, "");
        }
        if (kind == fault::full_disk) {
            EXPECT_NE(
                errors.find(": write failed (No space left on device); no more lines go to it\n"),
                std::string::npos)
                << errors;
            EXPECT_TRUE(errors.ends_with("run.jsonl: this run's record is incomplete\n")) << errors;
        } else if (kind == fault::slow_fifo_signal_storm) {
            std::ofstream(dir.path() / "storm.jsonl") << text;
            const std::vector<nlohmann::json> lines = read_log_lines(dir.path() / "storm.jsonl");
            ASSERT_EQ(lines.size(), 5u);
            EXPECT_EQ(lines.back().value("end", ""), "count");
            // A summary so far for the signals, and the last one of the whole run; the
            // share is the machine's concern (above).
            const std::string verdict = answered ? "passed, [0-9.]+" : "failed, 100.0";
            EXPECT_TRUE(
                errors.starts_with(SUMMARY) && errors.find(SUMMARY, 1) != std::string::npos &&
                std::regex_search(
                    errors, std::regex("\nverdict: " + verdict + "% unanswered, limit 100%\n$")))
                << errors;
            EXPECT_EQ(errors.find("record is incomplete"), std::string::npos) << errors;
        }
        std::filesystem::remove_all(folder);
    }
}

TEST_F(ToolOverPty, TheStandardDescriptorsAreNeverThePortAndTheirFailuresAreSaid) {
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    for (const table_row& row : table("tool_failed_output")) {
        tool_run run(TERVALO_BINARY, {row.begin() + 2, row.end()}, dir.path(),
                     {.output = row[0] == "full" ? full : CLOSED});
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), 1) << row[1];
        EXPECT_EQ(run.errors(), row[1]);
    }
    close(full);
    EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(100)).empty());

    // Closed input and errors: the port takes neither, so the device gets only greetings.
    {
        tool_run tool(TERVALO_BINARY, {"COM3"}, dir.path(), {.input = CLOSED, .errors = CLOSED});
        ASSERT_TRUE(next_greeting(device));
        device.send(frame_bytes(FRAME_TYPE_TEXT, "seen"));
        ASSERT_TRUE(tool.wait_for_output("[info]:response: seen\r\n", SHORT_WAIT)) << tool.output();
        kill(tool.pid(), SIGINT);
        EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 128 + SIGINT);
        EXPECT_FALSE(device.held_exclusively());
        const byte_string rest = device.receive_for(std::chrono::milliseconds(200));
        EXPECT_TRUE(rest.empty() || rest == greeting_bytes()) << rest.size() << " bytes";
    }
    // A stop is prompt even when the summary cannot be written: standard error is a pipe
    // the test has filled and never reads.
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        std::array<int, 2> stalled{};
        ASSERT_EQ(pipe2(stalled.data(), O_CLOEXEC | O_NONBLOCK), 0);
        while (write(stalled[1], std::string(4096, 'x').data(), 4096) > 0) {
        }
        fcntl(stalled[1], F_SETFL, 0);
        device.allow_next_opener();
        tool_run tool(TERVALO_BINARY, {"COM3"}, dir.path(), {.errors = stalled[1]});
        ASSERT_TRUE(next_greeting(device));
        kill(tool.pid(), signal_number);
        EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 128 + signal_number) << strsignal(signal_number);
        close(stalled[0]);
        close(stalled[1]);
    }
    // Through a device path the line is set too, and a run that ends by itself leaves no
    // exclusive flag behind, which only root could pass.
    const pty_device by_path;
    set_wrong_line(by_path);
    tool_run tool(TERVALO_BINARY, {"-c", "1", "-W", "0.05", by_path.tty_path()}, dir.path());
    ASSERT_TRUE(next_greeting(by_path));
    EXPECT_EQ(line_differences(by_path), "");
    EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 1);
    EXPECT_FALSE(by_path.held_exclusively());
}

}  // namespace
