// --metrics as a lab uses it: tervalo against tervalo-sim, the file served by a real
// node_exporter through its textfile collector and judged by promtool; the counters
// served must be the simulator's record. Built with the Wine tests, the same run drives
// tervalo.exe under Wine (WineMetrics, run by scripts/wine-env).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/prometheus_tools.h"
#include "tests/e2e/record_check.h"
#include "tests/e2e/tool_harness.h"
#ifdef TERVALO_WINE_METRICS
#include "tests/e2e/wine_session.h"
#endif

namespace {

namespace fs = std::filesystem;
using labels = std::map<std::string, std::string>;

const std::string METRICS_FILE = "tervalo.prom";
const std::string SIM_READY = "[info]:tervalo-sim ready";
// Faults whose outcome the record always fixes, meeting every warning within a few
// cycles of the seed: bad-check, length-1, bad-escape, silence and late among them.
const std::string FIXED_FAULTS =
    "silence,late,bad-check,length-0,length-1,bad-escape,other-type,noise,unsolicited";
constexpr int SIM_DELAY_MS = 50;
constexpr std::uint64_t CYCLES = 8;
// Longest a cycle can take (a silent one is a little over two seconds), with room for
// a loaded machine.
constexpr auto CYCLE_BOUND = std::chrono::seconds(6);
// How long the wholeness test reads: a handful of rewrites.
constexpr auto READ_FOR = std::chrono::seconds(6);

std::string contents_of(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::size_t occurrences(std::string_view text, std::string_view what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++count;
    }
    return count;
}

// A tool under test: the port name it is given; how to point that port at a terminal
// (or at nothing); and how to start it in dir, where COM1 links the simulator's
// terminal, with options before the port.
struct tool_under_test {
    std::string port;
    std::function<void(const fs::path& dir, const fs::path& target)> point_port_at;
    std::function<std::unique_ptr<tool_run>(const fs::path& dir,
                                            const std::vector<std::string>& options)>
        start;
};

void replace_link(const fs::path& link, const fs::path& target) {
    fs::remove(link);
    fs::create_symlink(target, link);
}

tool_under_test linux_tool() {
    return {"COM1",
            [](const fs::path& dir, const fs::path& target) {
                // Left alone when it is already so: while it is replaced, COM1 would be
                // this machine's ttyS0.
                const fs::path link = dir / "COM1";
                if (!fs::is_symlink(link) || fs::read_symlink(link) != target) {
                    replace_link(link, target);
                }
            },
            [](const fs::path& dir, std::vector<std::string> options) {
                options.emplace_back("COM1");
                return std::make_unique<tool_run>(TERVALO_BINARY, options, dir);
            }};
}

// What the served counters must be after the first `greetings` cycles of the record.
struct expected_counts {
    double responses;
    double no_response;
    double crc;
    double escape;
    double length;
};

expected_counts counts_of(const std::vector<record_entry>& record, std::size_t greetings) {
    std::string printed;
    for (std::size_t i = 0; i < greetings; ++i) {
        EXPECT_TRUE(record[i].expected) << "cycle " << i + 1 << " has an open outcome";
        printed += record[i].expected.value_or("");
    }
    return {static_cast<double>(occurrences(printed, "[info]:response: ")),
            static_cast<double>(occurrences(printed, NO_RESPONSE_LINE)),
            static_cast<double>(occurrences(printed, "crc error")),
            static_cast<double>(occurrences(printed, "esc char error")),
            static_cast<double>(occurrences(printed, "len error"))};
}

// The served samples, parsed; a failure if they do not parse.
std::vector<prom_sample> scraped(const node_exporter_run& exporter) {
    const std::string body = exporter.scrape();
    auto samples = parse_exposition(body);
    EXPECT_TRUE(samples) << "the scrape does not parse:\n" << body;
    return samples.value_or(std::vector<prom_sample>{});
}

void metrics_served_match_the_record(const tool_under_test& tool_kind) {
    scratch_dir dir;
    // node_exporter reads as the unprivileged user, as the packaged one does as its own.
    fs::permissions(dir.path(), fs::perms::all);
    const fs::path record_path = dir.path() / "record.tsv";
    tool_run sim(TERVALO_SIM_BINARY,
                 {"--mix", "779", "--fault", FIXED_FAULTS, "--delay", std::to_string(SIM_DELAY_MS),
                  "--record", record_path.string()},
                 dir.path());
    ASSERT_TRUE(sim.wait_for_output(SIM_READY, SHORT_WAIT)) << sim.output();
    const node_exporter_run exporter(dir.path());
    ASSERT_TRUE(exporter.ready());
    const auto started = std::chrono::system_clock::now();
    const auto tool = tool_kind.start(dir.path(), {"--metrics", METRICS_FILE});
    const labels port{{"port", tool_kind.port}};
    const auto value = [&](const std::vector<prom_sample>& samples, const std::string& name,
                           labels extra = {}) {
        extra.insert(port.begin(), port.end());
        const auto found = sample_value(samples, name, extra);
        EXPECT_TRUE(found) << name << " is not served";
        return found.value_or(-1);
    };

    // The file is rewritten once a cycle has printed its outcome, so every scrape shows
    // whole cycles: as many as the greetings it counts.
    std::vector<prom_sample> samples;
    std::vector<record_entry> record;
    std::size_t greetings = 0;
    const auto deadline = std::chrono::steady_clock::now() + CYCLE_BOUND * (CYCLES + 2);
    while (std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_TRUE(tool->running()) << tool->errors();
        samples = scraped(exporter);
        greetings = static_cast<std::size_t>(
            sample_value(samples, "tervalo_greetings_total", port).value_or(0));
        // The record's line of a late reply follows the cycle that missed it.
        record = read_record(record_path);
        if (greetings >= CYCLES && record.size() >= greetings) {
            break;
        }
    }
    ASSERT_GE(greetings, CYCLES) << tool->output() << tool->errors();
    ASSERT_GE(record.size(), greetings);

    SCOPED_TRACE("after " + std::to_string(greetings) + " greetings the tool printed:\n" +
                 tool->output());
    const expected_counts expected = counts_of(record, greetings);
    EXPECT_EQ(value(samples, "tervalo_responses_total"), expected.responses);
    EXPECT_EQ(value(samples, "tervalo_no_response_total"), expected.no_response);
    EXPECT_EQ(value(samples, "tervalo_warnings_total", {{"kind", "crc"}}), expected.crc);
    EXPECT_EQ(value(samples, "tervalo_warnings_total", {{"kind", "escape"}}), expected.escape);
    EXPECT_EQ(value(samples, "tervalo_warnings_total", {{"kind", "length"}}), expected.length);
    EXPECT_GT(expected.crc + expected.escape + expected.length, 0) << "the seed meets no warning";
    EXPECT_EQ(value(samples, "tervalo_port_up"), 1);
    EXPECT_EQ(value(samples, "tervalo_port_lost_total"), 0);
    // Every reply left the simulator SIM_DELAY_MS after the greeting came; half that is
    // the bound, as the tool may be descheduled between its write and its clock reading.
    EXPECT_EQ(value(samples, "tervalo_round_trip_seconds_count"), expected.responses);
    EXPECT_EQ(value(samples, "tervalo_round_trip_seconds_bucket", {{"le", "+Inf"}}),
              expected.responses);
    EXPECT_EQ(value(samples, "tervalo_round_trip_seconds_bucket", {{"le", "0.02"}}), 0);
    EXPECT_GE(value(samples, "tervalo_round_trip_seconds_sum"),
              expected.responses * SIM_DELAY_MS / 2 / 1000.0);
    const double last_response = value(samples, "tervalo_last_response_timestamp_seconds");
    const auto unix_seconds = [](std::chrono::system_clock::time_point when) {
        return std::chrono::duration<double>(when.time_since_epoch()).count();
    };
    EXPECT_GE(last_response, unix_seconds(started) - 1);
    EXPECT_LE(last_response, unix_seconds(std::chrono::system_clock::now()) + 1);
    EXPECT_EQ(promtool_check(dir.path() / METRICS_FILE), "");

    // The device goes away: the simulator ends and its terminal closes with it. The
    // port's name then leads nowhere (a terminal's old name may be taken by the next
    // terminal made).
    kill(sim.pid(), SIGTERM);
    ASSERT_EQ(sim.wait_exit(SHORT_WAIT), 0);
    tool_kind.point_port_at(dir.path(), "/nonexistent/tty");
    const auto port_up_becomes = [&](double up) {
        const auto until = std::chrono::steady_clock::now() + LONG_WAIT;
        do {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            samples = scraped(exporter);
        } while (sample_value(samples, "tervalo_port_up", port) != up &&
                 std::chrono::steady_clock::now() < until);
        EXPECT_EQ(value(samples, "tervalo_port_up"), up) << tool->errors();
        EXPECT_EQ(value(samples, "tervalo_port_lost_total"), 1);
        EXPECT_EQ(promtool_check(dir.path() / METRICS_FILE), "");
    };
    port_up_becomes(0);
    // And comes back.
    tool_run second_sim(TERVALO_SIM_BINARY, {"--replace"}, dir.path());
    ASSERT_TRUE(second_sim.wait_for_output(SIM_READY, SHORT_WAIT)) << second_sim.output();
    tool_kind.point_port_at(dir.path(), fs::read_symlink(dir.path() / "COM1"));
    port_up_becomes(1);
    EXPECT_TRUE(tool->running());
}

TEST(Metrics, NodeExporterServesTheSimulatorsCountsAndTheLostPort) {
    metrics_served_match_the_record(linux_tool());
}

// Reads the file as fast as it can while the tool rewrites it once a cycle: every read
// must be a whole exposition whose parts agree.
void every_read_is_whole(const tool_under_test& tool_kind) {
    scratch_dir dir;
    tool_run sim(TERVALO_SIM_BINARY, {}, dir.path());
    ASSERT_TRUE(sim.wait_for_output(SIM_READY, SHORT_WAIT)) << sim.output();
    const auto tool = tool_kind.start(dir.path(), {"--metrics", METRICS_FILE});
    const fs::path file = dir.path() / METRICS_FILE;
    const labels port{{"port", tool_kind.port}};

    std::set<double> greetings_seen;
    std::size_t reads = 0;
    const auto deadline = std::chrono::steady_clock::now() + READ_FOR;
    while (std::chrono::steady_clock::now() < deadline || greetings_seen.size() < 4) {
        ASSERT_LT(std::chrono::steady_clock::now(), deadline + CYCLE_BOUND * 4)
            << "the file was rewritten " << greetings_seen.size() << " times";
        std::ifstream in(file, std::ios::binary);
        if (!in) {
            // Not written yet, while the tool starts; once there, it is replaced, never gone.
            ASSERT_EQ(reads, 0U) << "the file was gone after " << reads << " reads";
            continue;
        }
        const std::string text{std::istreambuf_iterator<char>(in), {}};
        ++reads;
        const auto samples = parse_exposition(text);
        ASSERT_TRUE(samples) << "read " << reads << " is not whole:\n" << text;
        const auto greetings = sample_value(*samples, "tervalo_greetings_total", port);
        const auto responses = sample_value(*samples, "tervalo_responses_total", port);
        const auto no_response = sample_value(*samples, "tervalo_no_response_total", port);
        labels count_labels = port;
        const auto count = sample_value(*samples, "tervalo_round_trip_seconds_count", port);
        count_labels["le"] = "+Inf";
        const auto top = sample_value(*samples, "tervalo_round_trip_seconds_bucket", count_labels);
        ASSERT_TRUE(greetings && responses && no_response && count && top) << text;
        ASSERT_EQ(*greetings, *responses + *no_response) << text;
        ASSERT_EQ(*responses, *count) << text;
        ASSERT_EQ(*top, *count) << text;
        greetings_seen.insert(*greetings);
    }
    std::cout << reads << " whole reads over " << greetings_seen.size() << " versions\n";
    EXPECT_TRUE(tool->running()) << tool->errors();
}

TEST(Metrics, EveryReadOfTheFileIsWholeWhileTheToolRewritesIt) {
    every_read_is_whole(linux_tool());
}

#ifdef TERVALO_WINE_METRICS
// tervalo.exe under Wine (run through scripts/wine-env), reaching the simulator's
// terminal as COM7 of the prefix: the rename that replaces the file is Windows'.
tool_under_test wine_tool() {
    return {
        "COM7",
        [](const fs::path&, const fs::path& target) { replace_link(dos_device("com7"), target); },
        [](const fs::path& dir, std::vector<std::string> options) {
            replace_link(dos_device("com7"), fs::read_symlink(dir / "COM1"));
            options.emplace_back("COM7");
            return run_windows_tool(options, dir);
        }};
}

TEST(WineMetrics, NodeExporterServesTheSimulatorsCountsAndTheLostPort) {
    ASSERT_EQ(wine_session_problem(), "");
    metrics_served_match_the_record(wine_tool());
    fs::remove(dos_device("com7"));
}

TEST(WineMetrics, EveryReadOfTheFileIsWholeWhileTheToolRewritesIt) {
    ASSERT_EQ(wine_session_problem(), "");
    every_read_is_whole(wine_tool());
    fs::remove(dos_device("com7"));
}
#endif

// Refused before the port is touched: nothing sent, no banner, one standard-error line,
// exit status 255, and nothing at the path changed. --log takes a regular file or a pipe
// with a reader; --metrics a regular file only.
TEST(Metrics, PathsThatAreNoFileForTheRecordAreRefusedAndLeftAlone) {
    scratch_dir dir;
    const fs::path& at = dir.path();
    fs::create_directory(at / "a-folder");
    ASSERT_EQ(mkfifo((at / "fifo").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", at / "link-to-null");
    const auto refused = [](const std::string& option, const std::string& file,
                            const std::string& reason) {
        return "tervalo: " + option + " " + file +
               (option == "--log" ? ": cannot open it for appending (" : ": cannot write it (") +
               reason + ")\n";
    };
    const std::string not_regular = "not a regular file";
    const std::string no_log = "not a regular file or a pipe";
    const struct {
        std::vector<std::string> args;
        std::string error;
    } cases[] = {
        {{"--metrics", "no/such/folder/tervalo.prom"},
         refused("--metrics", "no/such/folder/tervalo.prom", "No such file or directory")},
        {{"--metrics", "a-folder"}, refused("--metrics", "a-folder", not_regular)},
        {{"--metrics", "fifo"}, refused("--metrics", "fifo", not_regular)},
        {{"--metrics", "/dev/full"}, refused("--metrics", "/dev/full", not_regular)},
        {{"--metrics", "link-to-null"},
         refused("--metrics", "link-to-null", "a link to something other than a regular file")},
        {{"--metrics", std::string(5000, 'm')},
         refused("--metrics", std::string(5000, 'm'), "its name is too long")},
        {{"--log", "fifo"}, refused("--log", "fifo", "no process reads the FIFO")},
        {{"--log", "/dev/full"}, refused("--log", "/dev/full", no_log)},
        {{"--log", "link-to-null"}, refused("--log", "link-to-null", no_log)},
        {{"--log", "a-folder"}, refused("--log", "a-folder", no_log)},
        {{"--log", "both", "--metrics", "./both"},
         "tervalo: --log and --metrics name the same file (./both)\n"},
        {{"--log", "./.both.tervalo-1-log", "--metrics", "both"},
         "tervalo: --log ./.both.tervalo-1-log: --metrics writes and removes files of that "
         "name\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args[1].substr(0, 40));
        const pty_device device;
        fs::remove(at / "COM1");
        device.link_as(at / "COM1");
        std::vector<std::string> args = c.args;
        args.emplace_back("COM1");
        tool_run tool(TERVALO_BINARY, args, at);
        EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 255);
        EXPECT_EQ(tool.errors(), c.error);
        EXPECT_EQ(tool.output(), "");
        EXPECT_TRUE(device.receive_for(std::chrono::milliseconds(300)).empty());
    }
    EXPECT_TRUE(fs::is_fifo(at / "fifo"));
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    EXPECT_TRUE(fs::is_symlink(at / "link-to-null"));
    EXPECT_EQ(contents_of(at / "both"), "");
    EXPECT_FALSE(fs::exists(at / ".both.tervalo-1-log"));

    // Planted beside the file by whoever may write the folder: a link to a victim or a
    // FIFO at a name the file once took, and at the temporary files' names of a run that
    // is gone (removed) or of one that lives (pid 1: left alone). None is opened, followed
    // or waited on, at the start, at each rewrite or at the end.
    std::ofstream(at / "victim.txt") << "victim";
    // No pid reaches INT_MAX: Linux stops at 2^22.
    const std::string stale = ".x.prom.tervalo-2147483647-0123456789abcdef";
    const std::string live = ".x.prom.tervalo-1-0123456789abcdef";
    const struct {
        std::string name;
        bool fifo;
        bool stays;
    } planted[] = {{"x.prom.tmp", true, true},
                   {"y.prom.tmp", false, true},
                   {stale, false, false},
                   {live, true, true}};
    for (const auto& p : planted) {
        if (p.fifo) {
            ASSERT_EQ(mkfifo((at / p.name).c_str(), 0600), 0);
        } else {
            fs::create_symlink("victim.txt", at / p.name);
        }
    }
    for (const char* file : {"x.prom", "y.prom"}) {
        const pty_device device;
        fs::remove(at / "COM1");
        device.link_as(at / "COM1");
        tool_run tool(TERVALO_BINARY,
                      {"--metrics", file, "-c", "3", "-i", "0", "-W", "0.05", "COM1"}, at);
        // Over in time (the device is silent: a failed verdict), and the file written.
        EXPECT_EQ(tool.wait_exit(SHORT_WAIT), 1);
        EXPECT_EQ(tool.errors().find("--metrics"), std::string::npos) << tool.errors();
        EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(at / file))) << file;
        EXPECT_NE(contents_of(at / file).find("tervalo_greetings_total"), std::string::npos);
    }
    EXPECT_EQ(contents_of(at / "victim.txt"), "victim");
    for (const auto& p : planted) {
        EXPECT_EQ(fs::exists(fs::symlink_status(at / p.name)), p.stays) << p.name;
    }
    for (const auto& entry : fs::directory_iterator(at)) {
        const std::string name = entry.path().filename().string();
        EXPECT_TRUE(name == live || name.find(".prom.tervalo-") == std::string::npos) << name;
    }
}

// Two benches on one machine, each in its own folder with its own COM1, their files
// served side by side: no series is written twice, a lab's labels and a port name that
// is not UTF-8 come through, and a stopped tool's file says its port is closed.
TEST(Metrics, TwoBenchesNamedAlikeNeverShareASeries) {
    scratch_dir dir;
    fs::permissions(dir.path(), fs::perms::all);
    const fs::path served = dir.path() / "served";
    fs::create_directory(served);
    fs::permissions(served, fs::perms::all);
    const node_exporter_run exporter(served);
    ASSERT_TRUE(exporter.ready());
    const std::string odd_port = "COM1\xff\xc3";  // a link of that name leads to COM1
    std::vector<std::unique_ptr<tool_run>> sims;
    std::vector<std::unique_ptr<tool_run>> tools;
    for (const std::string bench : {"a", "b"}) {
        const fs::path home = dir.path() / bench;
        fs::create_directory(home);
        sims.push_back(
            std::make_unique<tool_run>(TERVALO_SIM_BINARY, std::vector<std::string>{}, home));
        ASSERT_TRUE(sims.back()->wait_for_output(SIM_READY, SHORT_WAIT));
        // b reaches its file through a link, which stays a link.
        fs::path file = served / (bench + ".prom");
        if (bench == "b") {
            fs::create_symlink("COM1", home / odd_port);
            std::ofstream(file).put('\n');
            fs::create_symlink(file, home / "link.prom");
            file = "link.prom";
        }
        tools.push_back(std::make_unique<tool_run>(
            TERVALO_BINARY,
            std::vector<std::string>{"--metrics", file.string(), "--label", "bench=" + bench,
                                     bench == "a" ? "COM1" : odd_port},
            home));
    }
    const auto served_file = [&](const std::string& bench) {
        return labels{{"file", (served / (bench + ".prom")).string()}, {"bench", bench}};
    };
    std::vector<prom_sample> samples;
    const auto until = std::chrono::steady_clock::now() + LONG_WAIT;
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        samples = scraped(exporter);
    } while ((sample_value(samples, "tervalo_greetings_total", served_file("a")).value_or(0) < 2 ||
              sample_value(samples, "tervalo_greetings_total", served_file("b")).value_or(0) < 2) &&
             std::chrono::steady_clock::now() < until);
    EXPECT_EQ(sample_value(samples, "node_textfile_scrape_error", {}), 0);
    EXPECT_GE(sample_value(samples, "tervalo_greetings_total", served_file("a")), 2);
    labels b = served_file("b");
    b["port"] = "COM1\\xff\\xc3";
    EXPECT_GE(sample_value(samples, "tervalo_greetings_total", b), 2);
    EXPECT_EQ(promtool_check(served / "b.prom"), "");
    EXPECT_TRUE(fs::is_symlink(dir.path() / "b" / "link.prom"));

    kill(tools.back()->pid(), SIGTERM);
    ASSERT_NE(tools.back()->wait_exit(SHORT_WAIT), -1);
    const auto after = parse_exposition(contents_of(served / "b.prom"));
    ASSERT_TRUE(after);
    EXPECT_EQ(sample_value(*after, "tervalo_port_up", b), 0);
}

// The rules shipped for a lab's Prometheus: promtool accepts them, and their own test
// (a lossy bench, a bench no longer written, a bench away) passes.
TEST(Metrics, TheShippedRulesPassPromtool) {
    const scratch_dir dir;
    const fs::path rules(TERVALO_RULES_DIR);
    std::string said;
    EXPECT_EQ(promtool_run({"check", "rules", rules / "tervalo-rules.yml"}, dir.path(), &said), 0)
        << said;
    EXPECT_EQ(promtool_run({"test", "rules", rules / "tervalo-rules-test.yml"}, dir.path(), &said),
              0)
        << said;
}

// Later, a failed write is told once, and the link goes on and keeps trying.
TEST(Metrics, AFailedWriteLaterIsToldOnceAndTheLinkGoesOn) {
    scratch_dir dir;
    tool_run sim(TERVALO_SIM_BINARY, {}, dir.path());
    ASSERT_TRUE(sim.wait_for_output(SIM_READY, SHORT_WAIT)) << sim.output();
    const fs::path folder = dir.path() / "metrics";
    fs::create_directory(folder);
    tool_run tool(TERVALO_BINARY, {"--metrics", "metrics/tervalo.prom", "COM1"}, dir.path());
    ASSERT_TRUE(tool.wait_for_output(printed_line(RESPONSE_FORMAT, "reply 1"), LONG_WAIT))
        << tool.output();
    // Moved away in one step, which a rewrite under way cannot race; the scratch folder
    // takes it when the tool is gone.
    fs::rename(folder, dir.path() / "gone");
    ASSERT_TRUE(tool.wait_for_output(printed_line(RESPONSE_FORMAT, "reply 4"), LONG_WAIT))
        << tool.output();
    const std::string failed =
        "tervalo: --metrics metrics/tervalo.prom: write failed (No such file or "
        "directory); the link goes on, and each cycle tries again\n";
    EXPECT_EQ(tool.errors(), failed);
    // Back as soon as the folder is, and said once.
    fs::create_directory(folder);
    ASSERT_TRUE(tool.wait_for_output(printed_line(RESPONSE_FORMAT, "reply 6"), LONG_WAIT))
        << tool.output();
    EXPECT_EQ(tool.errors(), failed + "tervalo: --metrics metrics/tervalo.prom: written again\n");
    const auto samples = parse_exposition(contents_of(folder / "tervalo.prom"));
    ASSERT_TRUE(samples);
    EXPECT_GE(sample_value(*samples, "tervalo_responses_total", {{"port", "COM1"}}), 5);
    EXPECT_TRUE(tool.running());
}

}  // namespace
