// tervalo-sim end to end, alone and as tervalo's device: its command line and its link;
// the soak, tervalo's output against the simulator's record over a seeded mix of faults;
// and --metrics as a lab reads it, served by a real node_exporter and judged by promtool,
// with the summary at a stop. Built with the Wine tests, the soak and the metrics run drive
// tervalo.exe under Wine too (through scripts/wine-env).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <csignal>
#include <ctime>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "sim/fault_plan.h"
#include "sim/printed_line.h"
#include "sim/sim_record.h"
#include "tests/e2e/log_lines.h"
#include "tests/e2e/record_check.h"
#ifdef TERVALO_WINE
#include "tests/e2e/wine_session.h"
#endif

namespace {

namespace fs = std::filesystem;
using ms = std::chrono::milliseconds;
using clock_type = std::chrono::steady_clock;

const std::string READY = "[info]:tervalo-sim ready";
const std::string RESPONSE = "[info]:response: ";
// Longest a cycle takes at the default pace (a silent one a little over two seconds), with
// room for a loaded machine.
constexpr auto CYCLE_BOUND = ms(6000);

std::size_t occurrences(std::string_view text, std::string_view what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// The entries of dir other than the captured output of the programs run there.
std::set<std::string> left_behind(const fs::path& dir) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (!entry.path().filename().string().starts_with("output-")) {
            names.insert(entry.path().filename().string());
        }
    }
    return names;
}

std::unique_ptr<tool_run> start_sim(const std::vector<std::string>& args, const fs::path& dir) {
    auto sim = std::make_unique<tool_run>(TERVALO_SIM_BINARY, args, dir);
    EXPECT_TRUE(sim->wait_for_output(READY, SHORT_WAIT)) << sim->errors();
    return sim;
}

// program in dir as the unprivileged user (see unprivileged()).
std::unique_ptr<tool_run> run_as_user(const std::string& program, std::vector<std::string> args,
                                      const fs::path& dir) {
    args.insert(args.begin(), program);
    return std::make_unique<tool_run>(unprivileged_program(program), unprivileged(args), dir);
}

// What tervalo must print for the first `cycles` of the record (each fixed by it).
std::string printed(const std::vector<record_entry>& record, std::size_t cycles) {
    std::string lines;
    for (std::size_t i = 0; i < cycles && i < record.size(); ++i) {
        EXPECT_TRUE(record[i].expected) << "cycle " << i + 1 << " has an open outcome";
        lines += record[i].expected.value_or("?");
    }
    return lines;
}

TEST(SimCommandLine, EachRefusalGivesItsStatusAndOneLineAndLeavesEveryFileAsItWas) {
    scratch_dir dir;
    const int full = open("/dev/full", O_WRONLY | O_CLOEXEC);
    fs::create_symlink("/dev/null", dir.path() / "COM1");
    std::ofstream(dir.path() / "kept.log") << "an earlier run's\n";
    std::ofstream(dir.path() / "old.log") << "an earlier run's\n";
    fs::create_symlink("kept.log", dir.path() / "alias.log");
    const struct {
        std::vector<std::string> args;
        int status;
        std::string said;  // the start of standard error, or of standard output at status 0
    } cases[] = {
        {{"--help"}, 0, "usage: tervalo-sim [options]\n"},
        {{"--version"}, 0, "tervalo-sim " TERVALO_VERSION "\n"},
        {{"--help", "to /dev/full"}, 1, "tervalo-sim: cannot write to standard output ("},
        {{"--bogus"}, 2, "[error]:unknown option"},
        {{}, 1, "[error]:COM1 already exists (a link to /dev/null); remove it or pass --replace\n"},
        // The log and the record as one file, by any name; a log there before stays.
        {{"--port", "COM3", "--log", "kept.log", "--record", "alias.log"}, 2, "[error]:"},
        {{"--port", "COM3", "--log", "old.log", "--record", "/nonexistent/r"}, 1, "[error]:"},
    };
    const std::set<std::string> prepared = left_behind(dir.path());
    for (const auto& c : cases) {
        const bool to_full = c.args.size() == 2 && c.args[1] == "to /dev/full";
        const std::vector<std::string> args(c.args.begin(), c.args.end() - (to_full ? 1 : 0));
        tool_run run(TERVALO_SIM_BINARY, args, dir.path(), {.output = to_full ? full : CAPTURED});
        EXPECT_EQ(run.wait_exit(SHORT_WAIT), c.status) << c.said;
        const std::string out = c.status == 0 ? run.output() : run.errors();
        EXPECT_TRUE(out.starts_with(c.said)) << out;
        EXPECT_EQ(run.errors().find('\n'), c.status == 0 ? std::string::npos : out.size() - 1);
        EXPECT_EQ(left_behind(dir.path()), prepared) << c.said;
    }
    close(full);
    EXPECT_EQ(contents_of(dir.path() / "kept.log"), "an earlier run's\n");
    EXPECT_EQ(fs::read_symlink(dir.path() / "COM1"), "/dev/null");
}

TEST(SimLink, ASignalRemovesTheLinkUnlessAReplacingRunTookIt) {
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        scratch_dir dir;
        fs::create_symlink("/nonexistent/pts", dir.path() / "COM1");  // an earlier run's
        const auto first = start_sim({"--replace"}, dir.path());
        const fs::path target = fs::read_symlink(dir.path() / "COM1");
        EXPECT_EQ(first->output(), READY + ": COM1 -> " + target.string() + "\n");
        const auto second = start_sim({"--replace"}, dir.path());
        const fs::path taken = fs::read_symlink(dir.path() / "COM1");
        EXPECT_NE(taken, target);
        for (tool_run* sim : {first.get(), second.get()}) {
            kill(sim->pid(), signal_number);
            EXPECT_EQ(sim->wait_exit(SHORT_WAIT), 0);
            if (sim == first.get()) {
                EXPECT_EQ(fs::read_symlink(dir.path() / "COM1"), taken);
            }
        }
        EXPECT_TRUE(left_behind(dir.path()).empty());
    }
}

// A full disk under the log (at a greeting's line) or the record (at its heading): the run
// ends as a stop ends it, its link removed, but with status 1 after the reason.
TEST(SimLink, AWriteErrorEndsTheSimulatorWithStatusOneAndItsLinkRemoved) {
    for (const std::string file : {"log", "record"}) {
        scratch_dir dir;
        tool_run sim(TERVALO_SIM_BINARY, {"--" + file, "/dev/full"}, dir.path());
        if (file == "log" && sim.wait_for_output(READY, SHORT_WAIT)) {
            const int tty = open((dir.path() / "COM1").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            const byte_string greeting = greeting_bytes();
            EXPECT_EQ(write(tty, greeting.data(), greeting.size()), 10);
            close(tty);
        }
        EXPECT_EQ(sim.wait_exit(SHORT_WAIT), 1) << file;
        EXPECT_EQ(sim.errors(), "[error]:cannot write the " + file + ": No space left on device\n");
        EXPECT_TRUE(left_behind(dir.path()).empty());
    }
}

// The summary record of a bounded run, -q, against the simulator in dir. The simulator
// frees its terminal for the next opener after a second of silence, later on a busy
// machine: until then an open is refused as in use, and tried again.
nlohmann::json summary_of_run(const fs::path& dir, std::vector<std::string> args) {
    args.insert(args.end(), {"-q", "--log", "run.jsonl", "COM1"});
    for (const auto deadline = clock_type::now() + LONG_WAIT;;) {
        const auto tool = run_as_user(TERVALO_BINARY, args, dir);
        const int status = tool->wait_exit(ms(60000));
        if (status == 255 && tool->errors().find("in use") != std::string::npos &&
            clock_type::now() < deadline) {
            std::this_thread::sleep_for(ms(250));
            continue;
        }
        EXPECT_NE(status, 255) << tool->errors();
        EXPECT_EQ(tool->output(), BANNER);
        return read_log_lines(dir / "run.jsonl").back();
    }
}

// Every run unprivileged, the first killed: tervalo marks the terminal for exclusive use,
// and only root could open it again if the simulator did not clear the mark. Replies as
// fast as the line carries them: at 1,200 baud a byte every 8 ms, four times the gap a
// frame may have at 921,600; only a run the simulator says a loaded machine held back may
// lose one. Then new plans, the link kept; "--open COM2" is refused.
TEST(ToolAgainstSim, EachSpeedExchangesGreetingsAndAPlanChangesWithTheLinkKept) {
    scratch_dir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const auto sim = run_as_user(
        TERVALO_SIM_BINARY,
        {"--paced", "--text", "a reply", "--log", "sim.log", "--control", "plan"}, dir.path());
    ASSERT_TRUE(sim->wait_for_output(READY, SHORT_WAIT)) << sim->errors();
    EXPECT_TRUE(run_as_user(TERVALO_BINARY, {"COM1"}, dir.path())
                    ->wait_for_output(printed_line(RESPONSE_FORMAT, "a reply"), LONG_WAIT));
    const fs::path terminal = fs::read_symlink(dir.path() / "COM1");
    for (const char* baud : {"1200", "9600", "57600"}) {
        fs::resize_file(dir.path() / "sim.log", 0);
        const nlohmann::json summary =
            summary_of_run(dir.path(), {"-b", baud, "-c", "3", "-i", "0"});
        EXPECT_TRUE(
            summary.value("greetings", 0) == 3 &&
            (summary.value("responses", 0) == 3 ||
             contents_of(dir.path() / "sim.log").find("delayed by the") != std::string::npos))
            << baud << " baud: " << summary.dump();
        EXPECT_GE(summary["rtt_us"].value("min", 0), 100'000'000 / std::stoi(baud)) << baud;
    }
    for (const auto& [plan, responses] :
         {std::pair{"--fault silence\n", 0}, {"--open COM2\n", 0}, {"", 2}}) {
        std::ofstream(dir.path() / "plan", std::ios::trunc) << plan;
        const auto summary = summary_of_run(dir.path(), {"-c", "2", "-i", "0", "-W", "0.2"});
        EXPECT_EQ(summary.value("responses", -1), responses) << plan;
    }
    EXPECT_EQ(fs::read_symlink(dir.path() / "COM1"), terminal);
    EXPECT_EQ(sim->output().find(READY, 1), std::string::npos) << "one start: " << sim->output();
}

// The tool under test: the Linux build on COM1, the simulator's link, or tervalo.exe
// under Wine on a COM port of the prefix linked to the simulator's terminal.
struct tool_kind {
    std::string port = "COM1";
    std::string wine_device;  // the prefix's entry ("com6"); empty for the Linux build
};

// Points a Wine port at the terminal dir/COM1 leads to, or at nothing once it is gone (a
// terminal's old name may be taken by the next terminal made).
void link_port([[maybe_unused]] const tool_kind& kind, [[maybe_unused]] const fs::path& dir) {
#ifdef TERVALO_WINE
    if (!kind.wine_device.empty()) {
        fs::remove(dos_device(kind.wine_device));
        if (fs::is_symlink(dir / "COM1")) {
            fs::create_symlink(fs::read_symlink(dir / "COM1"), dos_device(kind.wine_device));
        }
    }
#endif
}

std::unique_ptr<tool_run> start_tool(const tool_kind& kind, const fs::path& dir,
                                     std::vector<std::string> args) {
    args.push_back(kind.port);
#ifdef TERVALO_WINE
    if (!kind.wine_device.empty()) {
        EXPECT_EQ(wine_session_problem(), "");
        link_port(kind, dir);
        return run_windows_tool(args, dir);
    }
#endif
    return std::make_unique<tool_run>(TERVALO_BINARY, args, dir);
}

std::uint64_t env_number(const char* name, std::uint64_t fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::strtoull(value, nullptr, 10) : fallback;
}

// Resident and peak memory of a process, in kB.
std::pair<long, long> memory_of(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    long rss = -1;
    long peak = -1;
    for (std::string key; status >> key;) {
        if (key == "VmRSS:") {
            status >> rss;
        } else if (key == "VmHWM:") {
            status >> peak;
        }
    }
    return {rss, peak};
}

// A bounded run of the tool against the simulator, checked against its record: each cycle
// as it says (or, when lossy, no response at all), not one more, and the log's line of
// each cycle saying what was printed; on Linux the tool's memory flat after its first answer.
std::vector<record_entry> soak(const tool_kind& kind, std::vector<std::string> sim_args,
                               std::vector<std::string> tool_args, std::uint64_t greetings,
                               bool lossy = false) {
    scratch_dir dir;
    sim_args.insert(sim_args.end(), {"--record", "record.tsv"});
    const auto sim = start_sim(sim_args, dir.path());
    tool_args.insert(tool_args.end(),
                     {"-c", std::to_string(greetings), "--max-loss", "100", "--log", "run.jsonl"});
    const auto tool = start_tool(kind, dir.path(), tool_args);
    // Sampled from a while after the first answer on: by then the libraries are loaded, and
    // the frame record and the log's line filled as far as the largest reply fills them.
    const std::string_view lost = NO_RESPONSE_LINE;
    const auto answered = [&] {
        const std::string output = tool->output();
        std::size_t at = BANNER.size();
        while (at < output.size() && output.compare(at, lost.size(), lost) == 0) {
            at += lost.size();
        }
        return output.find('\n', at) != std::string::npos;
    };
    std::pair<long, long> early{-1, -1};
    std::pair<long, long> late{-1, -1};
    bool settled = false;
    for (const auto deadline = clock_type::now() + CYCLE_BOUND * greetings;
         tool->running() && clock_type::now() < deadline;) {
        std::this_thread::sleep_for(ms(100));
        const std::pair<long, long> now = memory_of(tool->pid());
        if (settled && now.first > 0) {
            (early.first < 0 ? early : late) = now;
        }
        settled = settled || answered();
    }
    EXPECT_EQ(tool->wait_exit(SHORT_WAIT), 0) << tool->errors();
    std::vector<record_entry> record = read_whole_record(dir.path() / "record.tsv", greetings);
    EXPECT_EQ(record.size(), greetings);
    const std::string output = tool->output();
    EXPECT_TRUE(output.starts_with(BANNER)) << escape_bytes(output);
    const std::vector<nlohmann::json> logged =
        greeting_lines(read_log_lines(dir.path() / "run.jsonl"));
    std::size_t at = BANNER.size();
    for (std::uint64_t i = 0; i < greetings && i < record.size(); ++i) {
        const std::size_t from = at;
        const std::string mismatch = compare_cycle(output, at, record[i]);
        if (!mismatch.empty() && lossy && output.compare(from, lost.size(), lost) == 0) {
            at = from + lost.size();
        } else if (!mismatch.empty() || i >= logged.size()) {
            ADD_FAILURE() << (mismatch.empty()
                                  ? "the log ends before cycle " + std::to_string(i + 1)
                                  : mismatch);
            break;
        } else {
            EXPECT_EQ(compare_log_cycle(logged[i], record[i]), "");
        }
    }
    EXPECT_EQ(output.substr(at), "") << "after " << greetings << " cycles";
    if (kind.wine_device.empty()) {
        EXPECT_LE(late.first, early.first + 80);
        EXPECT_LE(late.second, early.second + 80);
    }
    return record;
}

// The seeded mix of every fault but the largest reply (TERVALO_SOAK_FAULTS another list,
// TERVALO_SOAK_SEED another seed) at the default pace. The default seed meets every fault
// of its mix in 39 cycles.
void soak_mix(const tool_kind& kind, std::uint64_t cycles) {
    constexpr std::uint64_t DEFAULT_SEED = 20261220;
    const std::uint64_t seed = env_number("TERVALO_SOAK_SEED", DEFAULT_SEED);
    const char* faults = std::getenv("TERVALO_SOAK_FAULTS");
    std::set<std::string> seen;
    for (const record_entry& entry :
         soak(kind,
              {"--mix", std::to_string(seed), "--fault",
               faults != nullptr ? faults
                                 : "silence,late,bad-check,length-0,length-1,bad-escape,"
                                   "other-type,noise,raw-noise,gap,split,unsolicited"},
              {}, cycles)) {
        seen.insert(entry.fault);
    }
    if (faults == nullptr && seed == DEFAULT_SEED && cycles >= 40) {
        EXPECT_EQ(seen.size(), std::size(ALL_FAULTS)) << "the run misses a fault (or none)";
    }
}

TEST(Soak, MixEveryReplyExactlyOnceEveryFaultReported) {
    soak_mix({}, env_number("TERVALO_SOAK_CYCLES", 40));
}

#ifdef TERVALO_WINE
TEST(WineSoak, MixEveryReplyExactlyOnceEveryFaultReported) {
    soak_mix({"COM6", "com6"}, env_number("TERVALO_WINE_SOAK_CYCLES", 40));
}
#endif

TEST(Soak, BackToBackEveryLineAccountedForMemoryFlat) {
    // Faults whose outcome does not hang on a pause, every 200th (200 in all in a longer
    // run); a half-second wait, as a loaded machine can hold the simulator up that long.
    const std::uint64_t greetings = env_number("TERVALO_SOAK_BACK_TO_BACK", 2000);
    soak({},
         {"--fault", "bad-check,length-0,length-1,bad-escape,other-type,noise,split", "--every",
          std::to_string(std::max<std::uint64_t>(200, greetings / 200))},
         {"-i", "0", "-W", "0.5"}, greetings);
}

// Over a pseudo-terminal the kernel hands the largest reply over 4 KiB at a time, and on a
// loaded machine a hand-over can come later than the 2 ms the tool allows between bytes:
// a frame may be lost (not all four: the run would fail), never a part of one.
TEST(Soak, LargestReplyArrivesWholeOrIsDroppedWhole) {
    soak({}, {"--fault", "largest"}, {"-i", "0.2", "-W", "0.5"}, 4, true);
}

// The value of the one sample of a text exposition with that name and these labels (k="v")
// among others: -1 if there is none or more than one, or the text does not end in a line
// feed, so that a half-written file is never taken for a short one.
double sample(const std::string& text, const std::string& name,
              const std::vector<std::string>& labels) {
    std::vector<double> found;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const std::size_t space = line.rfind(' ');
        if (line.substr(0, line.find_first_of("{ ")) == name && space != std::string::npos &&
            std::all_of(labels.begin(), labels.end(),
                        [&](const std::string& l) { return line.find(l) != std::string::npos; })) {
            const char* end = line.data() + line.size();
            double value = -1;
            found.push_back(std::from_chars(&line[space + 1], end, value).ptr == end ? value : -1);
        }
    }
    return found.size() == 1 && text.ends_with('\n') ? found[0] : -1;
}

// The body of GET /metrics on 127.0.0.1:port, or empty.
std::string http_get(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
    std::string response;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0) {
        std::array<char, 4096> buffer{};
        for (ssize_t n = 0; (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0;) {
            response.append(buffer.data(), static_cast<std::size_t>(n));
        }
    }
    close(fd);
    const std::size_t body = response.find("\r\n\r\n");
    return response.find(" 200 ") == 8 && body != std::string::npos ? response.substr(body + 4)
                                                                    : "";
}

// prometheus-node-exporter on 127.0.0.1 with its textfile collector alone, reading dir as
// the unprivileged user, as the packaged service reads as its own; its port, after it
// answered. Killed with the test, even one that ctest ends for its time.
int start_node_exporter(const fs::path& dir, std::unique_ptr<tool_run>& run) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const int port = 20000 + (getpid() * 7 + attempt * 1009) % 40000;
        std::vector<std::string> args{"--pdeathsig", "SIGKILL"};
        if (geteuid() == 0) {
            args.insert(args.end(), {"--reuid=65534", "--regid=65534", "--clear-groups"});
        }
        args.insert(args.end(), {PROMETHEUS_NODE_EXPORTER, "--collector.disable-defaults",
                                 "--collector.textfile",
                                 "--web.listen-address=127.0.0.1:" + std::to_string(port),
                                 "--collector.textfile.directory=" + dir.string()});
        run = std::make_unique<tool_run>("/usr/bin/setpriv", args, dir);
        for (const auto until = clock_type::now() + LONG_WAIT;
             run->running() && clock_type::now() < until; std::this_thread::sleep_for(ms(50))) {
            if (!http_get(port).empty()) {
                return port;
            }
        }
    }
    ADD_FAILURE() << "node_exporter never answered:\n" << run->errors();
    return 0;
}

// promtool's words and status, or empty when it passes (without a word, if quiet).
std::string promtool(const std::string& args, const fs::path& dir, bool quiet = true) {
    tool_run run("/bin/sh", {"-c", std::string(PROMTOOL) + " " + args}, dir);
    const int status = run.wait_exit(LONG_WAIT);
    const std::string said = run.output() + run.errors();
    return status == 0 && (!quiet || said.empty())
               ? ""
               : said + "(status " + std::to_string(status) + ")";
}

// tervalo --metrics against the simulator, one fault every other cycle: what node_exporter
// serves is the record's counts (no trip shorter than half the simulator's delay), every
// read of the file while the tool rewrites it is whole and agrees with itself, the device
// goes and comes back, and a stopped tool's file says its port is closed.
void metrics_served_match_the_record(const tool_kind& kind) {
    scratch_dir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const fs::path record_path = dir.path() / "record.tsv";
    // The unsolicited frame lies in the input at the next greeting, which must purge it.
    auto sim = start_sim({"--fault", "unsolicited,bad-check,length-1,bad-escape", "--every", "2",
                          "--delay", "50", "--record", record_path.string()},
                         dir.path());
    std::unique_ptr<tool_run> exporter;
    const int port = start_node_exporter(dir.path(), exporter);
    const auto started = static_cast<double>(std::time(nullptr));
    // The default wait for a reply: on a loaded machine a reply sent 50 ms late can take
    // longer than a short one, and the record would count it answered.
    const auto tool =
        start_tool(kind, dir.path(), {"--metrics", "a.prom", "--label", "bench=a", "-i", "0.3"});
    std::string served;
    const auto value = [&](const std::string& name, const std::string& label = "") {
        return sample(served, name, {"port=\"" + kind.port + "\"", "bench=\"a\"", label});
    };
    constexpr int CYCLES = 8;
    std::vector<record_entry> record;
    std::set<double> versions;
    for (auto deadline = clock_type::now() + CYCLE_BOUND * CYCLES, scrape_at = clock_type::now();
         clock_type::now() < deadline;) {
        const std::string text = contents_of(dir.path() / "a.prom");
        if (!text.empty() || !versions.empty()) {  // once there, never gone nor partial
            const auto count = [&](const std::string& name, const std::string& label = "") {
                return sample(text, name, {label});
            };
            ASSERT_TRUE(count("tervalo_greetings_total") ==
                            count("tervalo_responses_total") + count("tervalo_no_response_total") &&
                        count("tervalo_responses_total") ==
                            count("tervalo_round_trip_seconds_bucket", "le=\"+Inf\""))
                << "a read is not whole:\n"
                << text;
            versions.insert(count("tervalo_greetings_total"));
        }
        if (clock_type::now() >= scrape_at) {
            scrape_at += ms(200);
            served = http_get(port);
            record = read_record(record_path);
            ASSERT_TRUE(tool->running()) << tool->errors();
            // The record's line of a cycle is written once its reply is out.
            if (value("tervalo_greetings_total") >= CYCLES &&
                static_cast<double>(record.size()) >= value("tervalo_greetings_total")) {
                break;
            }
        }
    }
    const double greetings = value("tervalo_greetings_total");
    ASSERT_GE(greetings, CYCLES) << tool->output() << tool->errors();
    const std::string lines = printed(record, static_cast<std::size_t>(greetings));
    const std::array<std::array<std::string, 3>, 6> counts{{
        {"tervalo_responses_total", "", RESPONSE},
        {"tervalo_round_trip_seconds_count", "", RESPONSE},
        {"tervalo_no_response_total", "", NO_RESPONSE_LINE},
        {"tervalo_warnings_total", "kind=\"crc\"", "crc error"},
        {"tervalo_warnings_total", "kind=\"escape\"", "esc char error"},
        {"tervalo_warnings_total", "kind=\"length\"", "len error"},
    }};
    for (const auto& [name, label, line] : counts) {
        EXPECT_EQ(value(name, label), static_cast<double>(occurrences(lines, line)))
            << name << label;
    }
    EXPECT_EQ(value("tervalo_round_trip_seconds_bucket", "le=\"0.02\""), 0);
    EXPECT_GE(value("tervalo_round_trip_seconds_sum"), value("tervalo_responses_total") * 0.025);
    EXPECT_GE(value("tervalo_last_response_timestamp_seconds"), started - 1);
    EXPECT_LE(value("tervalo_last_response_timestamp_seconds"), started + 60);
    EXPECT_EQ(std::pair(value("tervalo_port_up"), value("tervalo_port_lost_total")),
              std::pair(1.0, 0.0));
    EXPECT_EQ(sample(served, "node_textfile_scrape_error", {}), 0);
    EXPECT_EQ(promtool("check metrics < a.prom", dir.path()), "");

    // The device goes away, the simulator's terminal closed with it, and comes back.
    kill(sim->pid(), SIGTERM);
    ASSERT_EQ(sim->wait_exit(SHORT_WAIT), 0);
    for (const double up : {0.0, 1.0}) {
        if (up > 0) {
            sim = start_sim({"--replace"}, dir.path());
        }
        link_port(kind, dir.path());
        for (const auto until = clock_type::now() + LONG_WAIT;
             value("tervalo_port_up") != up && clock_type::now() < until;) {
            std::this_thread::sleep_for(ms(200));
            served = http_get(port);
        }
        EXPECT_EQ(std::pair(value("tervalo_port_up"), value("tervalo_port_lost_total")),
                  std::pair(up, 1.0))
            << tool->errors();
        EXPECT_EQ(promtool("check metrics < a.prom", dir.path()), "");
    }
    if (kind.wine_device.empty()) {  // under Wine a signal ends the program outright
        kill(tool->pid(), SIGHUP);
        ASSERT_EQ(tool->wait_exit(SHORT_WAIT), 128 + SIGHUP);
        served = contents_of(dir.path() / "a.prom");
        EXPECT_EQ(std::pair(value("tervalo_port_up"), value("tervalo_running")),
                  std::pair(0.0, 0.0));
        const std::string summary =
            printed_line("--- tervalo summary ---\ngreetings %.0f, responses %.0f, ",
                         value("tervalo_greetings_total"), value("tervalo_responses_total"));
        EXPECT_NE(tool->errors().find(summary), std::string::npos) << tool->errors();
    }
}

TEST(Metrics, NodeExporterServesTheSimulatorsCountsAndTheLostPort) {
    metrics_served_match_the_record({});
}

#ifdef TERVALO_WINE
// The file replaced by Windows' rename (MoveFileExA).
TEST(WineMetrics, NodeExporterServesTheSimulatorsCountsAndTheLostPort) {
    metrics_served_match_the_record({"COM7", "com7"});
    fs::remove(dos_device("com7"));
}
#endif

// Refused before the port is touched: nothing sent, no banner, one line, status 255, and
// nothing at the path changed. Then files planted beside the metrics file by whoever may
// write the folder (a link to a victim or a FIFO at a name the file once took, or at the
// temporary names of a run that is gone, removed, or of one that lives, pid 1: left alone)
// are never opened, followed or waited on.
TEST(Metrics, PathsThatAreNoFileAndPlantedNamesAreLeftAlone) {
    scratch_dir dir;
    const fs::path& at = dir.path();
    const pty_device device;
    device.link_as(at / "COM1");
    ASSERT_EQ(mkfifo((at / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", at / "null");
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--metrics", "no/m"}, "--metrics no/m: cannot write it (No such file or directory)"},
        {{"--metrics", "fifo"}, "--metrics fifo: cannot write it (not a regular file)"},
        {{"--metrics", "null"},
         "--metrics null: cannot write it (a link to something other than a regular file)"},
        {{"--log", "fifo"}, "--log fifo: cannot open it for appending (no process reads the FIFO)"},
        {{"--log", "null"},
         "--log null: cannot open it for appending (not a regular file or a pipe)"},
        {{"--log", "m", "--metrics", "./m"}, "--log and --metrics name the same file (./m)"},
        {{"--log", ".m.tervalo-1-log", "--metrics", "m"},
         "--log .m.tervalo-1-log: --metrics writes and removes files of that name"},
    };
    for (auto [args, error] : cases) {
        args.emplace_back("COM1");
        tool_run tool(TERVALO_BINARY, args, at);
        EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 255);
        EXPECT_EQ(tool.output() + tool.errors(), "tervalo: " + error + "\n");
    }
    EXPECT_TRUE(device.receive_for(ms(300)).empty());
    EXPECT_EQ(left_behind(at), (std::set<std::string>{"COM1", "fifo", "m", "null"}));
    EXPECT_EQ(contents_of(at / "m"), "");

    std::ofstream(at / "victim.txt") << "victim";
    const std::string live = ".x.prom.tervalo-1-0123456789abcdef";
    const struct {
        std::string name;
        bool fifo;
        bool stays;
    } planted[] = {{"x.prom.tmp", true, true},
                   {"y.prom.tmp", false, true},
                   {".x.prom.tervalo-2147483647-0123456789abcdef", false, false},
                   {live, true, true}};
    for (const auto& p : planted) {
        if (p.fifo) {
            ASSERT_EQ(mkfifo((at / p.name).c_str(), 0600), 0);
        } else {
            fs::create_symlink("victim.txt", at / p.name);
        }
    }
    for (const char* file : {"x.prom", "y.prom"}) {
        tool_run tool(TERVALO_BINARY,
                      {"--metrics", file, "-c", "3", "-i", "0", "-W", "0.05", "COM1"}, at);
        EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 1) << tool.errors();  // a silent device fails
        EXPECT_NE(contents_of(at / file).find("tervalo_greetings_total"), std::string::npos)
            << file;
    }
    EXPECT_EQ(contents_of(at / "victim.txt"), "victim");
    for (const auto& p : planted) {
        EXPECT_EQ(fs::exists(fs::symlink_status(at / p.name)), p.stays) << p.name;
    }
    for (const std::string& name : left_behind(at)) {
        EXPECT_TRUE(name == live || name.find(".prom.tervalo-") == std::string::npos) << name;
    }
}

// The rules shipped for a lab's Prometheus pass promtool's check and their own test.
TEST(Metrics, TheShippedRulesPassPromtool) {
    const scratch_dir dir;
    const std::string rules = TERVALO_RULES_DIR;
    EXPECT_EQ(promtool("check rules " + rules + "/tervalo-rules.yml && " + PROMTOOL +
                           " test rules " + rules + "/tervalo-rules-test.yml",
                       dir.path(), false),
              "");
}

// Later, a failed write is told once, and the link goes on and keeps trying.
TEST(Metrics, AFailedWriteLaterIsToldOnceAndTheLinkGoesOn) {
    scratch_dir dir;
    const auto sim = start_sim({}, dir.path());
    fs::create_directory(dir.path() / "metrics");
    tool_run tool(TERVALO_BINARY, {"--metrics", "metrics/m.prom", "-i", "0.1", "COM1"}, dir.path());
    const std::string failed =
        "tervalo: --metrics metrics/m.prom: write failed (No such file or "
        "directory); the link goes on, and each cycle tries again\n";
    ASSERT_TRUE(tool.wait_for_output(printed_line(RESPONSE_FORMAT, "reply 1"), LONG_WAIT));
    // Moved away in one step, which a rewrite under way cannot race.
    fs::rename(dir.path() / "metrics", dir.path() / "gone");
    ASSERT_TRUE(tool.wait_for_errors(failed, LONG_WAIT));
    // Said once over the next three cycles; and back as soon as the folder is.
    const std::string later = "reply " + std::to_string(occurrences(tool.output(), RESPONSE) + 3);
    ASSERT_TRUE(tool.wait_for_output(printed_line(RESPONSE_FORMAT, later.c_str()), LONG_WAIT));
    EXPECT_EQ(tool.errors(), failed);
    fs::create_directory(dir.path() / "metrics");
    EXPECT_TRUE(tool.wait_for_errors(failed + "tervalo: --metrics metrics/m.prom: written again\n",
                                     LONG_WAIT))
        << tool.errors();
    kill(tool.pid(), SIGTERM);
    EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 128 + SIGTERM);
    EXPECT_TRUE(tool.errors().starts_with(failed + "tervalo: --metrics metrics/m.prom: written "
                                                   "again\n--- tervalo summary ---\n"))
        << tool.errors();
}

}  // namespace
