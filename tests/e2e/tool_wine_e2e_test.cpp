// The Windows build of the tool under Wine (through scripts/wine-env, one prefix and one
// wineserver for the run), against a device played over a pseudo-terminal that the prefix's
// dosdevices/com<n> link makes a COM port. The rounds every build plays run here as on
// Linux; what follows them is what only Windows has. What Wine cannot show is listed in
// docs/testing.md.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include "link/link_protocol.h"
#include "tests/e2e/log_lines.h"
#include "tests/e2e/tool_rounds.h"
#include "tests/e2e/wine_session.h"

namespace {

// The first count of text that follows what a pattern's group matches, or -1.
long count_in(const std::string& text, const std::string& pattern) {
    std::smatch match;
    return std::regex_search(text, match, std::regex(pattern)) ? std::stol(match[1]) : -1;
}

class WineToolOverPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(wine_session_problem(), "");
        attach(device, "com5");
    }
    void TearDown() override {
        for (const auto& link : links_) {
            std::filesystem::remove(link);
        }
    }

    // Makes the device the prefix's port of that name; the port numbers 1 to 4 are left
    // alone because Wine rewrites com1 whenever it boots a prefix.
    void attach(const pty_device& pty, const std::string& dos_name) {
        const std::filesystem::path link = dos_device(dos_name);
        std::filesystem::remove(link);
        pty.link_as(link);
        links_.push_back(link);
    }

    tool_target target() {
        const std::filesystem::path at = dir.path();
        return {
            .start =
                [at](const std::vector<std::string>& args) { return run_windows_tool(args, at); },
            .dir = at,
            .port = "COM5",
            .attach = [this](const pty_device& pty) { attach(pty, "com5"); },
            .detach = [] { std::filesystem::remove(dos_device("com5")); },
            .reopened_path = [](const pty_device&) { return std::string("COM5"); },
            .bad_name =
                ": not a port name; use COM<n>, such as COM3 (on Linux COM<n> is a link "
                "of that name in the working directory, or else /dev/ttyS<n-1>)\n",
            // Ended as Windows' own handler ends it, with STATUS_CONTROL_C_EXIT (0xC000013A),
            // of which Linux sees the low byte.
            .stopped_status = 0x3A,
            .stopped_end = "ctrl-c",
        };
    }

    std::unique_ptr<tool_run> start(const std::vector<std::string>& args = {"COM5"}) {
        return start_to_banner(target(), args);
    }

    scratch_dir dir;
    pty_device device;

  private:
    std::vector<std::filesystem::path> links_;
};

class WineSameRounds : public WineToolOverPty, public ::testing::WithParamInterface<tool_round> {};

TEST_P(WineSameRounds, UnderWine) {
    GetParam().play(target(), device);
}

INSTANTIATE_TEST_SUITE_P(Tool, WineSameRounds, ::testing::ValuesIn(same_rounds()),
                         ::testing::PrintToStringParamName());

TEST_F(WineToolOverPty, AStopLeavesOneCountInEveryRecordAndAStalledLogHoldsNoStop) {
    // Back to back against the simulator, stopped at random moments: the stop is taken by
    // the cycle, so standard output's lines, the log's greeting lines, and the summaries
    // of standard error, the log and the metrics file all give one count.
    tool_run sim(TERVALO_SIM_BINARY, {}, dir.path());
    ASSERT_TRUE(sim.wait_for_output("[info]:tervalo-sim ready", SHORT_WAIT)) << sim.output();
    std::filesystem::remove(dos_device("com5"));
    std::filesystem::create_symlink(std::filesystem::read_symlink(dir.path() / "COM1"),
                                    dos_device("com5"));
    const int stopped_status = target().stopped_status;
    std::mt19937 random(20261209);
    for (int stop = 0; stop < 6; ++stop) {
        std::filesystem::remove(dir.path() / "run.jsonl");
        const auto tool = start({"COM5", "-i", "0", "--log", "run.jsonl", "--metrics", "run.prom"});
        std::this_thread::sleep_for(std::chrono::milliseconds(random() % 700));
        kill(tool->pid(), SIGINT);
        ASSERT_EQ(tool->wait_exit(LONG_WAIT), stopped_status);
        const std::string output = tool->output();
        // Every line but the banner is a cycle's: the simulator's replies are plain.
        const auto lines = static_cast<long>(std::count(output.begin(), output.end(), '\n')) - 1;
        const std::vector<nlohmann::json> log = read_log_lines(dir.path() / "run.jsonl");
        ASSERT_FALSE(log.empty());
        const nlohmann::json& summary = log.back();
        EXPECT_EQ(summary.value("event", ""), "summary");
        const std::string metrics = contents_of(dir.path() / "run.prom");
        const long greetings = count_in(tool->errors(), "greetings ([0-9]+)");
        EXPECT_EQ(lines, greetings) << output.substr(output.size() - 200);
        EXPECT_EQ(static_cast<long>(greeting_lines(log).size()), greetings);
        EXPECT_EQ(summary.value("greetings", -1L), greetings);
        EXPECT_EQ(summary.value("responses", 0L) + summary.value("no_response", 0L), greetings);
        EXPECT_EQ(count_in(metrics, "\ntervalo_greetings_total\\{[^}]*\\} ([0-9]+)"), greetings);
    }

    // A log whose reader stopped reading holds neither the cycle nor the stop.
    ASSERT_EQ(mkfifo((dir.path() / "log.fifo").c_str(), 0600), 0);
    std::atomic<bool> stopped{false};
    std::jthread reader([fifo = dir.path() / "log.fifo", &stopped] {
        const int fd = open(fifo.c_str(), O_RDONLY);
        std::array<char, 4096> bytes{};
        EXPECT_GT(read(fd, bytes.data(), bytes.size()), 0);
        while (!stopped) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        close(fd);
    });
    const auto tool = start({"COM5", "-i", "0", "--log", "log.fifo"});
    std::this_thread::sleep_for(std::chrono::seconds(1));
    kill(tool->pid(), SIGINT);
    EXPECT_EQ(tool->wait_exit(SHORT_WAIT), stopped_status);
    EXPECT_TRUE(tool->errors().starts_with("--- tervalo summary ---\n")) << tool->errors();
    stopped = true;
    kill(sim.pid(), SIGTERM);
}

TEST_F(WineToolOverPty, APortThatGoesAwayIsReopenedWhenItsNameLeadsToADeviceAgain) {
    play_port_loss_and_return(target(), device);
}

TEST_F(WineToolOverPty, ListShowsEveryPortOfTheSerialcommKeyInNumberOrder) {
    // Wine's mount manager registers the host's serial devices here as the prefix boots;
    // two more, registered out of order, make the order and a two-digit number count.
    const std::string key = "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
    for (const auto& [name, com] : {std::pair{"Serial11", "COM12"}, {"Serial4", "COM5"}}) {
        wine_reg({"add", key, "/v", std::string("\\Device\\") + name, "/d", com, "/f"}, dir.path());
    }
    // "    \Device\Serial0    REG_SZ    COM1", by number; Windows knows nothing more of the
    // ports added here than their device names.
    std::map<int, std::string> values;
    std::istringstream query(wine_reg({"query", key}, dir.path()));
    for (std::string line; std::getline(query, line);) {
        std::smatch match;
        if (std::regex_match(line, match, std::regex(R"(\s*(\S+)\s+REG_SZ\s+COM([0-9]+)\s*)"))) {
            values[std::stoi(match[2])] = match[1];
        }
    }
    std::string expected;
    for (const auto& [number, name] : values) {
        expected += "COM" + std::to_string(number) +
                    (number == 5 || number == 12 ? ": " + name : "") + "\n";
    }
    const auto list = run_windows_tool({"--list"}, dir.path());
    EXPECT_EQ(list->wait_exit(LONG_WAIT), 0);
    std::string listed;
    std::istringstream printed(list->output());
    for (std::string line; std::getline(printed, line);) {
        const std::string com = line.substr(0, line.find(':'));
        listed += (com == "COM5" || com == "COM12" ? line : com) + "\n";
    }
    EXPECT_EQ(listed, expected) << list->output();
    for (const char* name : {"Serial11", "Serial4"}) {
        wine_reg({"delete", key, "/v", std::string("\\Device\\") + name, "/f"}, dir.path());
    }
}

TEST_F(WineToolOverPty, AFailedOpenSaysWhyAndPortsFromTenAreReachedThroughTheDeviceNamespace) {
    // com5 leads to a live device, and Windows names are not case sensitive: only the
    // tool's own parse keeps "com5" out. Below COM10 a name is opened as typed, so
    // Windows takes COM4x and COM5\..\data as relative paths to files; the tool must
    // not greet a file.
    const std::string contents = "a plain file, not a serial port\n";
    std::filesystem::create_directory(dir.path() / "sub");
    std::ofstream(dir.path() / "COM4x") << contents;
    std::ofstream(dir.path() / "data") << contents;
    check_open_failures(
        target().start,
        {{"com5", target().bad_name},
         // Not COM6 or COM7: the Wine soak and metrics runs link those.
         {"COM8", ": no such device (COM8)\n"},
         {"COM99999999999", ": no such device (\\\\.\\COM2147483647)\n"},
         {"COM4x", ": not a serial device (COM4x)\n"},
         {"COM5\\..\\sub\\..\\data", ": not a serial device (COM5\\..\\sub\\..\\data)\n"}});
    EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(100)).empty());
    for (const char* file : {"COM4x", "data"}) {
        EXPECT_EQ(contents_of(dir.path() / file), contents) << file;
    }
    // From ten up, what follows the number is not looked at, however long. The purge before
    // a greeting drops the input too, PURGE_RXCLEAR (8) in the mask Wine's relay trace
    // shows: Wine's own purge drops it for PURGE_RXABORT alone, so a stale reply cannot
    // show it.
    const std::string quiet = std::getenv("WINEDEBUG");
    wine_reg({"add", "HKCU\\Software\\Wine\\Debug", "/v", "RelayInclude", "/d",
              "KERNEL32.PurgeComm", "/f"},
             dir.path());
    const pty_device port12;
    attach(port12, "com12");
    for (const std::string& name : {std::string("COM12"), "COM 012" + std::string(1100, 'x')}) {
        setenv("WINEDEBUG", name == "COM12" ? "+relay" : quiet.c_str(), 1);
        const auto tool = start({"-c", "1", name});
        ASSERT_TRUE(next_greeting(port12)) << name.substr(0, 8);
        port12.send(frame_bytes(FRAME_TYPE_TEXT, "12"));
        EXPECT_EQ(tool->wait_exit(LONG_WAIT), 0);
        EXPECT_EQ(std::regex_search(tool->errors(), std::regex("PurgeComm\\(\\w+,0000000f\\)")),
                  name == "COM12")
            << tool->errors();
    }
}

TEST_F(WineToolOverPty, ABatchFileReadsEachExitStatusOfTheReadMeAndABrokenPipeIsSaid) {
    // What cmd sees, not the low byte Linux sees: a status of -1 reads as -1 there, and
    // "if errorlevel 1" takes it for success. A run on COM5 passes when answered.
    const std::string batch =
        "@echo off\r\ntervalo.exe %*\r\necho status %ERRORLEVEL%\r\nif errorlevel 1 echo "
        "failed\r\n";
    const std::pair<std::vector<std::string>, int> rows[] = {
        {{"--version"}, 0},
        {{"-c", "1", "COM5"}, 0},
        {{"-c", "1", "-W", "0.05", "COM5"}, 1},
        {{}, 255},
        {{"COM8"}, 255},
        {{"--log", "nowhere\\run.jsonl", "COM5"}, 255}};
    for (const auto& [args, status] : rows) {
        const auto run = run_batch(batch, args, dir.path());
        if (status != 255 && args.back() == "COM5") {
            ASSERT_TRUE(next_greeting(device));
            device.send(status == 0 ? frame_bytes(FRAME_TYPE_TEXT, "up") : byte_string{});
        }
        run->wait_exit(LONG_WAIT);
        const std::string said =
            "status " + std::to_string(status) + "\r\n" + (status != 0 ? "failed\r\n" : "");
        EXPECT_TRUE(run->output().ends_with(said)) << status << '\n' << run->output();
    }
    std::array<int, 2> ends{};
    ASSERT_EQ(pipe(ends.data()), 0);
    close(ends[0]);
    const auto run = run_windows_tool({"--version"}, dir.path(), {.output = ends[1]});
    close(ends[1]);
    EXPECT_EQ(run->wait_exit(LONG_WAIT), 1);
    EXPECT_EQ(run->errors(), "tervalo: cannot write to standard output (Broken pipe)\n");
}

TEST_F(WineToolOverPty, TheLogIsRenamedAndTheMetricsReplacedWhileWindowsProgramsHoldThem) {
    // By Windows programs, as Wine keeps share modes among those alone. cmd's type opens a
    // file as a collector does, over and over, with a pause between the reads that holds
    // nothing; a rename that meets a read fails, and only its retries get it through.
    std::ofstream(dir.path() / "run.prom") << "before\n";
    const auto reader = run_batch(
        "@echo off\r\ntype run.prom\r\n:again\r\ntype run.prom > nul\r\n"
        "for /l %%i in (1,1,40) do set pause=%%i\r\ngoto again\r\n",
        {}, dir.path());
    ASSERT_TRUE(reader->wait_for_output("before", LONG_WAIT));
    const auto tool = start({"-c", "3", "--metrics", "run.prom", "--log", "run.jsonl", "COM5"});
    ASSERT_TRUE(next_greeting(device));
    run_batch("@ren run.jsonl old.jsonl\r\n", {}, dir.path())->wait_exit(LONG_WAIT);
    ASSERT_TRUE(next_greeting(device) && next_greeting(device));
    EXPECT_EQ(tool->wait_exit(LONG_WAIT), 1) << tool->errors();
    reader->stop();
    EXPECT_EQ(read_log_lines(dir.path() / "old.jsonl").back().value("greetings", 0), 3);
    const std::string text = contents_of(dir.path() / "run.prom");
    EXPECT_TRUE(std::regex_search(
        text, std::regex(R"(\ntervalo_greetings_total\{port="COM5",[^}]*\} 3\n)")))
        << text;
    EXPECT_EQ(tool->errors().find("tervalo: --"), std::string::npos) << tool->errors();

    // Held all through the start, as a collector reading it then holds it: the run starts,
    // and a later rewrite gets through.
    const auto holder = run_batch("@ping -n 4 127.0.0.1 > nul < run.prom\r\n", {}, dir.path());
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto held = start({"--metrics", "run.prom", "COM5"});
    EXPECT_TRUE(held->wait_for_errors("tervalo: --metrics run.prom: write failed (", SHORT_WAIT));
    EXPECT_TRUE(held->wait_for_errors("tervalo: --metrics run.prom: written again\n", LONG_WAIT))
        << held->errors();
}

}  // namespace
