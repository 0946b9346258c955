// The built simulator: its command line, the link it makes and removes, an existing
// port opened as tervalo opens it, and tervalo run against it more than once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/log_lines.h"
#include "tests/e2e/record_check.h"
#include "tests/e2e/tool_harness.h"

namespace {

namespace fs = std::filesystem;

const std::string READY = "[info]:tervalo-sim ready";

// The entries of dir other than the captured output of the programs run there.
std::vector<std::string> left_behind(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (!name.starts_with("output-")) {
            names.push_back(name);
        }
    }
    return names;
}

std::unique_ptr<tool_run> start_sim(const std::vector<std::string>& args, const fs::path& dir) {
    auto sim = std::make_unique<tool_run>(TERVALO_SIM_BINARY, args, dir);
    EXPECT_TRUE(sim->wait_for_output(READY, SHORT_WAIT)) << sim->output();
    return sim;
}

TEST(SimCommandLine, HelpAndVersionExitZeroOrOneWhenTheyCannotBeWritten) {
    scratch_dir dir;
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    // A failed open has nothing to close; cppcheck takes the early return for a leak.
    // cppcheck-suppress resourceLeak
    ASSERT_GE(full, 0);
    const struct {
        std::string option;
        int output;
        int status;
        std::string start;
    } cases[] = {
        {"--help", CAPTURED, 0, "usage: tervalo-sim [options]\n"},
        {"--version", CAPTURED, 0, "tervalo-sim " TERVALO_VERSION "\n"},
        {"--help", full, 1, ""},
        {"--version", CLOSED, 1, ""},
    };
    for (const auto& c : cases) {
        tool_run run(TERVALO_SIM_BINARY, {c.option}, dir.path(), {.output = c.output});
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), c.status) << c.option;
        if (c.status == 0) {
            EXPECT_TRUE(run.output().starts_with(c.start)) << run.output();
            EXPECT_EQ(run.errors(), "");
        } else {
            EXPECT_TRUE(run.errors().starts_with("tervalo-sim: cannot write to standard output ("))
                << run.errors();
        }
        EXPECT_TRUE(left_behind(dir.path()).empty());
    }
    close(full);
}

TEST(SimCommandLine, BadInputGivesOneLineAndLeavesNothingBehind) {
    scratch_dir dir;
    const std::vector<std::pair<std::vector<std::string>, int>> cases{
        {{"--bogus"}, 2},
        {{"--fault", "gap,crc"}, 2},
        {{"--delay", "2000"}, 2},
        {{"--port", "../COM1"}, 2},
        {{"--log", "/nonexistent/dir/sim.log"}, 1},
        {{"--record", "/nonexistent/dir/record.tsv"}, 1},
        {{"--log", "sim.log", "--record", "/nonexistent/dir/record.tsv"}, 1},
        {{"--open", "COM5"}, 1},
        {{"--open", "/dev/null"}, 1},
        // The log and the record as one file, by any name: found before the file is made,
        // or once the log has made it.
        {{"--log", "kept.log", "--record", "kept.log"}, 2},
        {{"--log", "kept.log", "--record", "alias.log"}, 2},
        {{"--log", "new.log", "--record", "./new.log"}, 2},
        {{"--log", "new.log", "--record", (dir.path() / "new.log").string()}, 2},
        // A log that was there before is not removed when the run cannot start.
        {{"--log", "old.log", "--record", "/nonexistent/dir/record.tsv"}, 1},
    };
    fs::create_symlink("/nonexistent/tty", dir.path() / "COM5");
    std::ofstream(dir.path() / "kept.log") << "an earlier run's\n";
    fs::create_symlink("kept.log", dir.path() / "alias.log");
    std::ofstream(dir.path() / "old.log") << "an earlier run's\n";
    const std::vector<std::string> prepared{"COM5", "alias.log", "kept.log", "old.log"};
    for (const auto& [args, status] : cases) {
        tool_run run(TERVALO_SIM_BINARY, args, dir.path());
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), status) << args.front();
        const std::string out = run.errors();
        EXPECT_TRUE(out.starts_with("[error]:")) << out;
        EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
        std::vector<std::string> left = left_behind(dir.path());
        std::sort(left.begin(), left.end());
        EXPECT_EQ(left, prepared) << args.front();
    }
    std::string kept;
    std::getline(std::ifstream(dir.path() / "kept.log"), kept);
    EXPECT_EQ(kept, "an earlier run's");
}

TEST(SimCommandLine, AnExistingEntryIsNotOverwritten) {
    scratch_dir dir;
    fs::create_symlink("/dev/null", dir.path() / "COM1");
    std::ofstream(dir.path() / "COM2") << "keep";
    {
        tool_run run(TERVALO_SIM_BINARY, {}, dir.path());
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), 1);
        EXPECT_EQ(
            run.errors(),
            "[error]:COM1 already exists (a link to /dev/null); remove it or pass --replace\n");
    }
    {
        // --replace is for a symlink left by an earlier run, never for a file.
        tool_run run(TERVALO_SIM_BINARY, {"--port", "COM2", "--replace"}, dir.path());
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), 1);
        EXPECT_TRUE(run.errors().starts_with("[error]:COM2 already exists")) << run.errors();
    }
    EXPECT_EQ(fs::read_symlink(dir.path() / "COM1"), "/dev/null");
    std::string kept;
    std::ifstream(dir.path() / "COM2") >> kept;
    EXPECT_EQ(kept, "keep");
}

TEST(SimCommandLine, AnUnwritableDirectoryGivesOneLine) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "the directory must be writable for the test and not for the program: "
                        "two users, so run as root";
    }
    scratch_dir dir;
    const fs::path locked = dir.path() / "locked";
    fs::create_directory(locked);
    fs::permissions(dir.path(), fs::perms::all);  // reachable by the unprivileged user
    fs::permissions(locked, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                fs::perms::others_read | fs::perms::others_exec);
    // The output file is written by the harness before the program runs.
    tool_run run(unprivileged_program(TERVALO_SIM_BINARY), unprivileged({TERVALO_SIM_BINARY}),
                 locked);
    fs::permissions(locked, fs::perms::owner_all);
    ASSERT_EQ(run.wait_exit(SHORT_WAIT), 1) << run.errors();
    EXPECT_EQ(run.errors(), "[error]:cannot create COM1: Permission denied\n");
    EXPECT_TRUE(left_behind(locked).empty());
}

TEST(SimLink, SignalsRemoveTheLinkAndExitZero) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        scratch_dir dir;
        // An earlier run's link, replaced on request.
        fs::create_symlink("/nonexistent/pts", dir.path() / "COM4");
        const auto sim = start_sim({"--port", "COM4", "--replace"}, dir.path());
        const fs::path target = fs::read_symlink(dir.path() / "COM4");
        EXPECT_TRUE(target.string().starts_with("/dev/pts/")) << target;
        EXPECT_TRUE(sim->output().starts_with(READY + ": COM4 -> " + target.string() + "\n"))
            << sim->output();
        kill(sim->pid(), signal_number);
        EXPECT_EQ(sim->wait_exit(SHORT_WAIT), 0);
        EXPECT_TRUE(left_behind(dir.path()).empty());
    }
}

TEST(SimLink, ALinkTakenOverByAReplacingRunIsLeftToIt) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        scratch_dir dir;
        const auto first = start_sim({}, dir.path());
        const auto second = start_sim({"--replace"}, dir.path());
        const fs::path taken = fs::read_symlink(dir.path() / "COM1");
        EXPECT_NE(second->output().find(" -> " + taken.string() + "\n"), std::string::npos)
            << second->output();
        kill(first->pid(), signal_number);
        EXPECT_EQ(first->wait_exit(SHORT_WAIT), 0);
        EXPECT_EQ(fs::read_symlink(dir.path() / "COM1"), taken);
        kill(second->pid(), signal_number);
        EXPECT_EQ(second->wait_exit(SHORT_WAIT), 0);
        EXPECT_TRUE(left_behind(dir.path()).empty());
    }
}

// Plays a greeting to the simulator through its link, as tervalo would.
void greet_through(const fs::path& link) {
    const int tty = open(link.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    // A failed open has nothing to close; cppcheck takes the early return for a leak.
    // cppcheck-suppress resourceLeak
    ASSERT_GE(tty, 0) << link;
    const byte_string greeting = greeting_bytes();
    EXPECT_EQ(write(tty, greeting.data(), greeting.size()), static_cast<ssize_t>(greeting.size()));
    close(tty);
}

TEST(SimLink, AWriteErrorEndsTheSimulatorWithStatusOneAndItsLinkRemoved) {
    const struct {
        std::string name;
        std::vector<std::string> args;
        bool closed_pipe;  // standard output and error: a pipe whose reader has gone
        bool greeted;      // the failing write is the log's line of a greeting
        std::string errors;
    } cases[] = {
        {"closed pipe", {}, true, true, ""},
        {"log on a full disk",
         {"--log", "/dev/full"},
         false,
         true,
         "[error]:cannot write the log: No space left on device\n"},
        {"record on a full disk",
         {"--record", "/dev/full"},
         false,
         false,
         "[error]:cannot write the record: No space left on device\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scratch_dir dir;
        std::array<int, 2> pipe_ends{};
        ASSERT_EQ(pipe2(pipe_ends.data(), O_CLOEXEC), 0);
        const int out = c.closed_pipe ? pipe_ends[1] : CAPTURED;
        tool_run sim(TERVALO_SIM_BINARY, c.args, dir.path(), {.output = out, .errors = out});
        close(pipe_ends[1]);
        if (c.closed_pipe) {
            // The ready line is read, then the reader goes, as `| head -1` does.
            std::array<char, 256> line{};
            EXPECT_GT(read(pipe_ends[0], line.data(), line.size()), 0);
        }
        close(pipe_ends[0]);
        if (c.greeted) {
            ASSERT_TRUE(c.closed_pipe || sim.wait_for_output(READY, SHORT_WAIT));
            greet_through(dir.path() / "COM1");
        }
        EXPECT_EQ(sim.wait_exit(SHORT_WAIT), 1);
        EXPECT_EQ(sim.end_signal(), 0);
        EXPECT_EQ(sim.errors(), c.errors);
        EXPECT_TRUE(left_behind(dir.path()).empty());
    }
}

class SimOnAPort : public ::testing::Test {
  protected:
    void SetUp() override { device.link_as(dir.path() / "COM5"); }

    // Plays tervalo: one greeting, then whatever comes back within the wait.
    byte_string greet(std::chrono::milliseconds wait = std::chrono::milliseconds(700)) {
        device.send(greeting_bytes());
        return device.receive_for(wait);
    }

    scratch_dir dir;
    pty_device device;
};

TEST_F(SimOnAPort, AnswersEachGreetingOverAnExistingPortSetUpAsTervaloSetsIt) {
    set_wrong_line(device);
    const auto sim = start_sim({"--open", "COM5", "--log", "sim.log"}, dir.path());
    EXPECT_EQ(sim->output(), READY + " on COM5\n");
    EXPECT_EQ(line_differences(device), "");
    EXPECT_EQ(greet(), frame_bytes(0xA2, "reply 1"));
    EXPECT_EQ(greet(), frame_bytes(0xA2, "reply 2"));
    // Bytes that are no greeting get no answer.
    device.send(frame_bytes(0xA1, "hello"));
    EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(300)).empty());

    // Opened exclusively, as tervalo opens it.
    tool_run second(TERVALO_SIM_BINARY, {"--open", "COM5"}, dir.path());
    EXPECT_EQ(second.wait_exit(SHORT_WAIT), 1);
    std::ifstream log(dir.path() / "sim.log");
    std::string first_line;
    std::getline(log, first_line);
    EXPECT_EQ(first_line, "[info]:greeting 1: hello");
}

TEST_F(SimOnAPort, TextDelayAndFaultsAreApplied) {
    const auto sim = start_sim({"--open", "COM5", "--text", "ok", "--delay", "300", "--fault",
                                "bad-check,silence", "--every", "2"},
                               dir.path());
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(greet(), frame_bytes(0xA2, "ok"));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(300));
    byte_string bad = frame_bytes(0xA2, "ok");
    bad.back() ^= 0x01;
    EXPECT_EQ(greet(), bad);
    EXPECT_EQ(greet(), frame_bytes(0xA2, "ok"));
    EXPECT_TRUE(greet().empty());
}

TEST(ToolAgainstSim, ToolCanBeStartedAgainAtOnceAgainstTheSameSimulator) {
    // tervalo marks the terminal for exclusive use; only root could reopen it if the
    // simulator did not clear the mark by the time tervalo is gone.
    scratch_dir dir;
    fs::permissions(dir.path(), fs::perms::all);
    // Both unprivileged: a pseudo-terminal belongs to the user who made it.
    tool_run sim(unprivileged_program(TERVALO_SIM_BINARY), unprivileged({TERVALO_SIM_BINARY}),
                 dir.path());
    ASSERT_TRUE(sim.wait_for_output(READY, SHORT_WAIT)) << sim.output();
    // Kept apart: each run's output file is named after its record.
    std::vector<std::unique_ptr<tool_run>> tools;
    for (int run = 1; run <= 3; ++run) {
        tools.push_back(std::make_unique<tool_run>(unprivileged_program(TERVALO_BINARY),
                                                   unprivileged({TERVALO_BINARY, "COM1"}),
                                                   dir.path()));
        tool_run& tool = *tools.back();
        const std::string reply = "reply " + std::to_string(run);
        EXPECT_TRUE(tool.wait_for_output(printed_line(RESPONSE_FORMAT, reply.c_str()), LONG_WAIT))
            << "run " << run << ": " << tool.output();
        // Ended, and the next one started, without a pause.
        tool.stop();
    }
}

// The summary record of a bounded run, -q, against the simulator in dir (log dir/run.jsonl).
// The simulator frees its terminal for the next opener after a second of silence, later
// on a busy machine: until then an open is refused as in use, and tried again.
nlohmann::json summary_of_run(const fs::path& dir, std::vector<std::string> args,
                              std::chrono::seconds bound = std::chrono::seconds(60)) {
    args.insert(args.end(), {"-q", "--log", (dir / "run.jsonl").string(), "COM1"});
    const auto deadline = std::chrono::steady_clock::now() + LONG_WAIT;
    for (;;) {
        tool_run tool(TERVALO_BINARY, args, dir);
        const int status = tool.wait_exit(bound);
        if (status == 255 && tool.errors().find("in use") != std::string::npos &&
            std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            continue;
        }
        EXPECT_NE(status, 255) << tool.errors();
        EXPECT_EQ(tool.output(), BANNER);
        return read_log_lines(dir / "run.jsonl").back();
    }
}

// Replies as fast as the line carries them: at 1,200 baud a byte every 8 ms, four times
// the gap a frame may have at 921,600 (and ten character times at least); only a run the
// simulator says a loaded machine held back may lose one. Then new plans, the link kept.
TEST(ToolAgainstSim, EveryStandardSpeedExchangesGreetingsAndAPlanChangesWithTheLinkKept) {
    scratch_dir dir;
    const fs::path sim_log = dir.path() / "sim.log";
    const fs::path control = dir.path() / "plan";
    const auto sim = start_sim(
        {"--paced", "--log", sim_log.string(), "--control", control.string()}, dir.path());
    const fs::path terminal = fs::read_symlink(dir.path() / "COM1");
    for (const char* baud : {"1200", "2400", "4800", "9600", "19200", "38400", "57600"}) {
        fs::resize_file(sim_log, 0);
        const nlohmann::json summary =
            summary_of_run(dir.path(), {"-b", baud, "-c", "3", "-i", "0"});
        std::ostringstream said;
        said << std::ifstream(sim_log).rdbuf();
        EXPECT_TRUE(summary.value("responses", 0) == 3 ||
                    said.str().find("delayed by the system") != std::string::npos)
            << baud << " baud: " << summary.dump();
        EXPECT_GE(summary["rtt_us"].value("min", 0), 100'000'000 / std::stoi(baud)) << baud;
    }
    std::ofstream(control) << "--fault silence\n";
    const nlohmann::json silent = summary_of_run(dir.path(), {"-c", "2", "-i", "0", "-W", "0.2"});
    EXPECT_EQ(silent["causes"].value("silent", -1), 2) << silent.dump();
    std::ofstream(control) << "--open COM2\n";  // refused: the plan stays
    EXPECT_EQ(summary_of_run(dir.path(), {"-c", "1", "-W", "0.2"}).value("responses", -1), 0);
    std::ofstream(control, std::ios::trunc).close();  // empty: intact replies again
    EXPECT_EQ(summary_of_run(dir.path(), {"-c", "2", "-i", "0"}).value("responses", -1), 2);
    EXPECT_EQ(fs::read_symlink(dir.path() / "COM1"), terminal);
    EXPECT_EQ(sim->output().find(READY, 1), std::string::npos) << "one start: " << sim->output();
}

TEST(ToolAgainstSim, TheRunLogMatchesTheSimulatorsRecordCycleByCycle) {
    // Every fault but the largest reply (see the soak), raw noise and gaps included: the
    // log must say what the tool printed, so open outcomes are checked as far as the
    // record fixes them. A seed that meets bad checks, escapes, lengths, raw noise, a gap
    // and late replies in 16 cycles.
    scratch_dir dir;
    const fs::path record_path = dir.path() / "record.tsv";
    const std::string faults =
        "silence,late,bad-check,length-0,length-1,bad-escape,other-type,noise,raw-noise,gap,"
        "split,unsolicited";
    tool_run sim(TERVALO_SIM_BINARY,
                 {"--mix", "711", "--fault", faults, "--record", record_path.string(), "--log",
                  (dir.path() / "sim.log").string()},
                 dir.path());
    ASSERT_TRUE(sim.wait_for_output(READY, SHORT_WAIT)) << sim.output();
    // Two runs appending to one log: the second's lines follow the first's.
    const fs::path log_path = dir.path() / "run.jsonl";
    constexpr std::uint64_t FIRST = 4;
    constexpr std::uint64_t CYCLES = 16;
    for (const std::uint64_t count : {FIRST, CYCLES - FIRST}) {
        // The simulator counts greetings across runs.
        const nlohmann::json summary =
            summary_of_run(dir.path(), {"-c", std::to_string(count), "--max-loss", "100"},
                           std::chrono::seconds(6) * (count + 2));
        EXPECT_TRUE(summary.value("passed", false)) << summary.dump();
    }
    const std::vector<record_entry> record = read_whole_record(record_path, CYCLES);
    ASSERT_GE(record.size(), CYCLES);
    const std::vector<nlohmann::json> lines = read_log_lines(log_path);
    ASSERT_EQ(event_lines(lines, "start").size(), 2u);
    const std::vector<nlohmann::json> summaries = event_lines(lines, "summary");
    ASSERT_EQ(summaries.size(), 2u);
    EXPECT_EQ(lines.back(), summaries.back());

    // Sequence numbers start again with each run; the record's cycles go on.
    const std::vector<nlohmann::json> greetings = greeting_lines(lines);
    ASSERT_EQ(greetings.size(), CYCLES);
    std::map<std::string, std::uint64_t> counted;
    for (std::uint64_t i = 0; i < CYCLES; ++i) {
        nlohmann::json line = greetings[i];
        line["seq"] = i + 1;
        const std::string mismatch = compare_log_cycle(line, record[i]);
        EXPECT_TRUE(mismatch.empty()) << mismatch;
        counted[line.value("result", "")] += 1;
        for (const nlohmann::json& warning : line.value("warnings", nlohmann::json::array())) {
            counted[warning.value("kind", "")] += 1;
        }
    }
    // The summaries hold what the lines add up to.
    std::map<std::string, std::uint64_t> summed;
    for (const nlohmann::json& summary : summaries) {
        EXPECT_EQ(summary.value("end", ""), "count");
        for (const char* key :
             {"greetings", "responses", "no_response", "crc", "escape", "length"}) {
            summed[key] += summary.value(key, std::uint64_t{0});
        }
    }
    EXPECT_EQ(summed["greetings"], CYCLES);
    EXPECT_EQ(summed["responses"], counted["response"]);
    EXPECT_EQ(summed["no_response"], counted["no_response"]);
    for (const char* kind : {"crc", "escape", "length"}) {
        EXPECT_EQ(summed[kind], counted[kind]) << kind;
        EXPECT_GT(counted[kind], 0u) << "the seed meets no " << kind << " warning";
    }
    kill(sim.pid(), SIGTERM);
    EXPECT_EQ(sim.wait_exit(SHORT_WAIT), 0);
}

}  // namespace
