// The VM tier's checks, over what the boot (vm_boot_test.cpp) left in the run folder:
// the guest's files and the device players' records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "link/output_lines.h"
#include "sim/sim_record.h"
#include "tests/e2e/record_check.h"
#include "tests/vm/vm_run.h"

namespace {

namespace fs = std::filesystem;

const std::string NO_RESPONSE = NO_RESPONSE_LINE;
// The start of a response line, up to its payload.
const std::string RESPONSE_START =
    std::string(RESPONSE_FORMAT).substr(0, std::string_view(RESPONSE_FORMAT).find('%'));

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What the line probe prints for a port held at 921,600 8N1, raw, with DTR and RTS off.
const std::string LINE_AS_SET =
    "speed=921600 data=8 parity=N stop=1 flow=none raw=yes dtr=off "
    "rts=off\n";

// What the guest left, and the sims' records.
std::string guest(const std::string& name) {
    EXPECT_TRUE(fs::exists(GUEST_DIR / name)) << name << " is missing: vm-boot runs first";
    return read_file(GUEST_DIR / name);
}

std::size_t guest_number(const std::string& name) {
    return static_cast<std::size_t>(std::strtoull(guest(name).c_str(), nullptr, 10));
}

std::vector<record_entry> record_of(const fs::path& path) {
    EXPECT_TRUE(fs::exists(path)) << path << " is missing: vm-boot runs first";
    return read_record(path);
}

std::vector<std::string> lines_of(std::string_view text) {
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t end = std::min(text.find('\n', at), text.size());
        std::string line(text.substr(at, end - at));
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        at = end + 1;
    }
    return lines;
}

std::size_t final_lines(std::string_view text) {
    std::size_t count = 0;
    for (const std::string& line : lines_of(text)) {
        count += is_final_line(line) ? 1U : 0U;
    }
    return count;
}

struct driver_run {
    const char* name;          // the guest's file prefix
    fs::path record;           // the device player's record until the pull
    std::size_t least_cycles;  // the guest waited for this many
    // Greetings that may fail to reach the device player whole. The emulated UART sends
    // byte by byte, each byte a write by the guest's processor, and a busy host can
    // stall it for longer than the 2 ms the player allows between bytes: the player
    // drops the greeting, as the tool would, and its record does not hold the cycle.
    // Over USB a greeting goes in one packet.
    std::size_t greetings_may_break;
};

const driver_run DRIVER_RUNS[] = {
    {"ftdi", RUN_DIR / "ftdi-1.tsv", CYCLES, 0},
    {"uart", RUN_DIR / "uart.tsv", CYCLES, CYCLES / 4},
    {"acm", GUEST_DIR / "acm-1.tsv", ACM_CYCLES, 0},
    {"ch340", GUEST_DIR / "ch340-1.tsv", CHIP_CYCLES, 0},
    {"cp2102", GUEST_DIR / "cp2102-1.tsv", CHIP_CYCLES, 0},
    {"cp2102n", GUEST_DIR / "cp2102n-1.tsv", CHIP_CYCLES, 0},
    {"pl2303ta", GUEST_DIR / "pl2303ta-1.tsv", CHIP_CYCLES, 0},
    {"pl2303g", GUEST_DIR / "pl2303g-1.tsv", CHIP_CYCLES, 0},
};

// The emulated chips (chip_emulator in the guest): the guest's name, the driver, VID:PID,
// and the name under which the guest found its ttyUSB (after the FTDI adapter's).
struct chip_run {
    std::string name;
    std::string driver;
    std::string vid_pid;
    std::string device;
};
const chip_run CHIP_RUNS[] = {
    {"ch340", "ch341", "1a86:7523", "/dev/ttyUSB1"},
    {"cp2102", "cp210x", "10c4:ea60", "/dev/ttyUSB2"},
    {"cp2102n", "cp210x", "10c4:ea60", "/dev/ttyUSB3"},
    {"pl2303ta", "pl2303", "067b:2303", "/dev/ttyUSB4"},
    {"pl2303g", "pl2303", "067b:2303", "/dev/ttyUSB5"},
};
// The chip whose cable the guest pulls at random moments after the common pull; its
// files hold the storm after the offsets storm.out-at and storm.err-at.
const std::string STORM_CHIP = "ch340";

// A guest file of the tool, cut where the storm began if it ran on this one.
std::string before_storm(const std::string& name, const std::string& kind) {
    std::string text = guest(name + "." + kind);
    if (name == STORM_CHIP) {
        text.resize(std::min(text.size(), guest_number("storm." + kind + "-at")));
    }
    return text;
}

// The tool's output until the pull (the UART's is never pulled), without the cycle that
// was under way when the tool was stopped or the cable pulled.
std::string output_before_pull(const driver_run& run) {
    std::string output = guest(std::string(run.name) + ".out");
    if (fs::exists(GUEST_DIR / (std::string(run.name) + ".gone-at"))) {
        output.resize(std::min(output.size(), guest_number(std::string(run.name) + ".gone-at")));
    }
    // Where each cycle ends: after the line that ends it.
    std::vector<std::size_t> cycle_ends;
    for (std::size_t at = 0, end = 0; (end = output.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
        if (is_final_line(std::string_view(output).substr(at, end - at))) {
            cycle_ends.push_back(end + 2);
        }
    }
    output.resize(cycle_ends.size() < 2 ? std::min(output.size(), BANNER.size())
                                        : cycle_ends[cycle_ends.size() - 2]);
    return output;
}

struct record_walk {
    std::size_t cycles = 0;  // cycles as the record says
    std::size_t broken = 0;  // no-response cycles the record does not hold
    std::string mismatch;
};

// Walks the whole output along the record, letting up to `may_break` no-response
// cycles that the record does not hold pass (see greetings_may_break).
record_walk walk_record(const std::string& output, const std::vector<record_entry>& record,
                        std::size_t may_break) {
    record_walk walk;
    std::size_t at = BANNER.size();
    for (const record_entry& entry : record) {
        for (;;) {
            if (at == output.size()) {
                return walk;
            }
            std::size_t next = at;
            std::string mismatch = compare_cycle(output, next, entry);
            if (mismatch.empty()) {
                at = next;
                ++walk.cycles;
                break;
            }
            if (walk.broken == may_break ||
                output.compare(at, NO_RESPONSE.size(), NO_RESPONSE) != 0) {
                walk.mismatch = mismatch;
                return walk;
            }
            at += NO_RESPONSE.size();
            ++walk.broken;
        }
    }
    if (at != output.size()) {
        walk.mismatch = "cycles beyond the record: " + escape_bytes(output.substr(at, 300));
    }
    return walk;
}

TEST(VmDrivers, ResponsesAndFaultsMatchTheDevicePlayersRecord) {
    for (const driver_run& run : DRIVER_RUNS) {
        SCOPED_TRACE(run.name);
        const std::string output = output_before_pull(run);
        const std::vector<record_entry> record = record_of(run.record);
        ASSERT_TRUE(output.starts_with(BANNER)) << escape_bytes(output.substr(0, 200));
        const record_walk walk = walk_record(output, record, run.greetings_may_break);
        EXPECT_TRUE(walk.mismatch.empty()) << walk.mismatch;
        EXPECT_GE(walk.cycles + walk.broken, run.least_cycles - 1);
        const std::size_t cycles = walk.cycles;
        std::size_t faults = 0;
        for (std::size_t i = 0; i < cycles; ++i) {
            faults += record[i].fault != "none" ? 1U : 0U;
        }
        EXPECT_GE(faults, cycles / 2) << "the device player mixed in too few faults";
    }
}

TEST(VmDrivers, LineSettingsAsTheDriversHoldThemWhileTheToolRuns) {
    EXPECT_EQ(guest("ftdi.line"), LINE_AS_SET);
    EXPECT_EQ(guest("ftdi.latency"), "1\n") << "the FTDI latency timer in ms";
    EXPECT_EQ(guest("acm.line"), LINE_AS_SET);
    // A PC UART's clock makes 115,200 baud at most: the 8250 driver keeps 9,600.
    EXPECT_EQ(guest("uart.line"),
              "speed=9600 data=8 parity=N stop=1 flow=none raw=yes dtr=off rts=off\n");
}

// At the FIFO trigger of 8, a reply at 9,600 baud comes in parts 4 ms apart: none is cut.
TEST(VmDrivers, TheUartExchangesGreetingsAtTheSpeedsItMakes) {
    EXPECT_EQ(guest("uart.trigger"), "8\n");
    for (const std::string baud : {"9600", "115200"}) {
        SCOPED_TRACE(baud);
        EXPECT_EQ(guest("uart" + baud + ".line"), "speed=" + baud +
                                                      " data=8 parity=N stop=1 flow=none raw=yes "
                                                      "dtr=off rts=off\n");
        const std::string errors = guest("uart" + baud + ".err");
        EXPECT_EQ(guest("uart" + baud + ".status"), "0\n") << errors;
        EXPECT_NE(errors.find("pace: interval 0.200 s, timeout 1.000 s, " + baud + " baud\n"),
                  std::string::npos)
            << errors;
        EXPECT_NE(errors.find(", cut 0,"), std::string::npos) << errors;
        const std::string output = guest("uart" + baud + ".out");
        EXPECT_EQ(final_lines(output), 8U) << escape_bytes(output);
        EXPECT_NE(output.find(RESPONSE_START + "reply "), std::string::npos)
            << escape_bytes(output);
    }
}

TEST(VmDrivers, SecondInstanceRefused) {
    EXPECT_EQ(guest("second.status"), "255\n");
    EXPECT_EQ(guest("second.out"), OPEN_FAILED_LINE);
}

// While the device is away: no-response lines at the usual pace, and no spinning.
TEST(VmDrivers, WhileTheDeviceIsAwayOnlyNoResponseAndLittleProcessorTime) {
    for (const std::string name : {"ftdi", "acm"}) {
        SCOPED_TRACE(name);
        const std::string output = guest(name + ".out");
        const std::size_t gone = guest_number(name + ".gone-at");
        const std::size_t back = guest_number(name + ".back-at");
        ASSERT_LE(gone, back);
        ASSERT_LE(back, output.size());
        const std::string away = output.substr(gone, back - gone);
        // About 8 s away at a little over two seconds a cycle.
        EXPECT_GE(away.size(), 3 * NO_RESPONSE.size());
        for (std::size_t at = 0; at < away.size(); at += NO_RESPONSE.size()) {
            ASSERT_EQ(away.compare(at, NO_RESPONSE.size(), NO_RESPONSE), 0)
                << "while away: " << escape_bytes(away);
        }
        // Processor time in ticks of 10 ms, and the time away in 10 ms: a tool that
        // spins takes nearly all of it.
        std::istringstream cpu(guest(name + ".away-cpu"));
        long ticks = -1;
        long elapsed = 0;
        cpu >> ticks >> elapsed;
        ASSERT_GE(ticks, 0);
        ASSERT_GE(elapsed, 700);
        EXPECT_LT(ticks * 10, elapsed) << "more than a tenth of the processor while away";
    }
}

TEST(VmReconnect, DeviceBackUnderItsOldNameAndAnsweringWithinTwoCycles) {
    struct reconnect_run {
        std::string name;
        std::string com;
        std::string device;
        fs::path record;
    };
    std::vector<reconnect_run> runs = {
        {"ftdi", "COM3", "/dev/ttyUSB0", RUN_DIR / "ftdi-2.tsv"},
        {"acm", "COM5", "/dev/ttyACM0", GUEST_DIR / "acm-2.tsv"},
    };
    for (std::size_t i = 0; i < std::size(CHIP_RUNS); ++i) {
        const chip_run& chip = CHIP_RUNS[i];
        runs.push_back({chip.name, "COM1" + std::to_string(i + 1), chip.device,
                        GUEST_DIR / (chip.name + "-2.tsv")});
    }
    for (const reconnect_run& run : runs) {
        SCOPED_TRACE(run.name);
        EXPECT_EQ(guest(run.name + ".names-back"), run.device + "\n")
            << "the returning device must get its old name: the tool let go of it";
        const std::string output = before_storm(run.name, "out");
        std::size_t at = guest_number(run.name + ".back-at");
        int no_response = 0;
        while (output.compare(at, RESPONSE_START.size(), RESPONSE_START) != 0) {
            ASSERT_EQ(output.compare(at, NO_RESPONSE.size(), NO_RESPONSE), 0)
                << escape_bytes(output.substr(at, 200));
            at += NO_RESPONSE.size();
            ++no_response;
        }
        EXPECT_LE(no_response, 2) << "cycles after the return before the first response";
        const std::vector<record_entry> record = record_of(run.record);
        const std::size_t cycles = std::min(record.size(), final_lines(output.substr(at))) - 1;
        EXPECT_GE(cycles, 2U);
        const std::string mismatch = compare_cycles(output, at, record, cycles);
        EXPECT_TRUE(mismatch.empty()) << mismatch;

        // One line when the port is lost and one when it is back, nothing while away.
        // (The guest ends the tool with SIGKILL, so nothing follows them.)
        const std::string errors = before_storm(run.name, "err");
        const std::string lost = "tervalo: " + run.com + ": port lost (";
        const std::string reopened =
            "tervalo: " + run.com + ": port reopened (" + run.device + ")\n";
        EXPECT_EQ(errors.find(lost), 0U) << errors;
        EXPECT_EQ(lines_of(errors).size(), 2U) << errors;
        EXPECT_TRUE(errors.ends_with(reopened)) << errors;
    }
}

TEST(VmStderr, TheKeptSpeedAndTheHeldPortAreNamed) {
    EXPECT_EQ(guest("uart.err"),
              "tervalo: COM4: the driver kept 9600 baud 8N1 (asked for 921600 "
              "8N1 without flow control)\n");
    const std::regex by_first("tervalo: COM3: /dev/ttyUSB0 is in use by tervalo \\(pid \\d+\\)\n");
    EXPECT_TRUE(std::regex_match(guest("second.err"), by_first)) << guest("second.err");
    EXPECT_EQ(output_before_pull(DRIVER_RUNS[0]).find("kept"), std::string::npos);
}

TEST(VmList, AdapterAndUartsWithTheirComNamesAndNoEmptyUartNodes) {
    EXPECT_EQ(guest("list.status"), "0\n") << guest("list.err");
    const std::string list = guest("list.out");
    const auto line_with = [&](const std::string& device) -> std::string {
        const std::regex word("(^|[^A-Za-z0-9])" + device + "([^0-9]|$)");
        for (const std::string& line : lines_of(list)) {
            if (std::regex_search(line, word)) {
                return line;
            }
        }
        return "";
    };
    EXPECT_NE(line_with("ttyUSB0").find("COM3"), std::string::npos) << list;
    EXPECT_NE(line_with("ttyUSB0").find("0403:6001"), std::string::npos) << list;
    EXPECT_NE(line_with("ttyS0").find("COM1"), std::string::npos) << list;
    EXPECT_NE(line_with("ttyS1").find("COM2"), std::string::npos) << list;
    EXPECT_EQ(line_with("ttyS2"), "") << "no UART behind ttyS2:\n" << list;
    EXPECT_EQ(line_with("ttyS3"), "") << "no UART behind ttyS3:\n" << list;
}

// The emulator's log: one line per change of the line the driver asked the chip for.
struct chip_line {
    long micros = 0;
    long rate = 0;
    std::string settings;  // data, parity, stop bits and flow control as logged
    bool raised = false;   // DTR or RTS
    bool lowered = false;  // DTR and RTS
};

std::vector<chip_line> chip_log(const std::string& name) {
    std::vector<chip_line> log;
    for (const std::string& text : lines_of(guest(name + ".chip"))) {
        chip_line entry;
        int settings = 0;
        int dtr = 0;
        int rts = 0;
        const std::size_t modem = text.find("dtr=");
        if (modem != std::string::npos &&
            std::sscanf(text.c_str(), "%ld rate=%ld %n", &entry.micros, &entry.rate, &settings) ==
                2 &&
            std::sscanf(text.c_str() + modem, "dtr=%d rts=%d", &dtr, &rts) == 2) {
            entry.settings = text.substr(static_cast<std::size_t>(settings),
                                         modem - static_cast<std::size_t>(settings));
            entry.raised = dtr != 0 || rts != 0;
            entry.lowered = dtr == 0 && rts == 0;
            log.push_back(entry);
        }
    }
    return log;
}

// What each driver asked its chip for while the tool held the port, and how long DTR
// and RTS were up at each open: the tty layer raises them before any program can act,
// and the tool lowers them at once. The pulse is recorded, not judged.
TEST(VmChips, TheLineAskedForAndDtrRtsLowAfterEachOpen) {
    for (const chip_run& chip : CHIP_RUNS) {
        SCOPED_TRACE(chip.name);
        const std::vector<chip_line> log = chip_log(chip.name);
        ASSERT_FALSE(log.empty()) << guest(chip.name + ".emulator");
        const chip_line& last = log.back();
        // The rate the chip makes from the driver's divisor, or the one a part that
        // computes its rate was told: within 0.2 % of the one asked for.
        EXPECT_LE(std::abs(last.rate - 921600), 921600 / 500) << last.rate;
        EXPECT_EQ(last.settings, "data=8 parity=N stop=1 flow=none ");
        EXPECT_TRUE(last.lowered);
        std::string pulses;
        std::size_t opens = 0;
        for (std::size_t i = 0; i < log.size(); ++i) {
            if (!log[i].raised || (i > 0 && log[i - 1].raised)) {
                continue;
            }
            std::size_t low = i + 1;
            while (low < log.size() && !log[low].lowered) {
                ++low;
            }
            ASSERT_LT(low, log.size()) << "DTR or RTS left up";
            ++opens;
            char pulse[32] = {};
            std::snprintf(pulse, sizeof pulse, " %.1f",
                          static_cast<double>(log[low].micros - log[i].micros) / 1000.0);
            pulses += pulse;
        }
        // The first open and the reopen after the pull, and the storm's reopens.
        EXPECT_GE(opens, 2U);
        std::printf("%s: DTR/RTS up at each open for (ms):%s\n", chip.name.c_str(), pulses.c_str());
        testing::Test::RecordProperty(chip.name + "_dtr_rts_pulse_ms", pulses);
    }
    // The rates as the chips make them: a CH340's divisor gives 923,077 baud, and a
    // CP2102N is told the rate it makes, which the driver reports back to the tool.
    EXPECT_EQ(chip_log("ch340").back().rate, 923077);
    EXPECT_EQ(chip_log("cp2102n").back().rate, 923076);
    EXPECT_EQ(guest("cp2102n.err").find("kept"), std::string::npos)
        << "a rate within a UART's tolerance is not worth a word";
}

// The cable pulled at random moments of the cycle: each pull lost and reopened under the
// same name, and the device answering after the last.
TEST(VmChips, ReplugStormEndsAnswering) {
    const std::string errors = guest(STORM_CHIP + ".err").substr(guest_number("storm.err-at"));
    const std::vector<std::string> lines = lines_of(errors);
    // A pull while the tool waits to reopen goes unseen: at least one pair.
    ASSERT_GE(lines.size(), 2U) << errors;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string expected = i % 2 == 0 ? "tervalo: COM11: port lost ("
                                                : "tervalo: COM11: port reopened (/dev/ttyUSB1)";
        EXPECT_EQ(lines[i].rfind(expected, 0), 0U) << errors;
    }
    EXPECT_EQ(lines.size() % 2, 0U) << "the storm ends with the port reopened:\n" << errors;
    const std::string output = guest(STORM_CHIP + ".out");
    std::size_t responses = 0;
    for (const std::string& text : lines_of(output.substr(guest_number("storm.back-at")))) {
        responses += text.starts_with(RESPONSE_START) ? 1U : 0U;
    }
    EXPECT_GE(responses, 2U) << escape_bytes(output.substr(guest_number("storm.back-at")));
}

TEST(VmChips, ListShowsEachChipsDriverVidPidAndById) {
    const std::vector<std::string> list = lines_of(guest("chips-list.out"));
    for (std::size_t i = 0; i < std::size(CHIP_RUNS); ++i) {
        const chip_run& chip = CHIP_RUNS[i];
        SCOPED_TRACE(chip.name);
        const auto line = std::find_if(list.begin(), list.end(), [&](const std::string& text) {
            return text.find(chip.device + ":") != std::string::npos;
        });
        ASSERT_NE(line, list.end()) << guest("chips-list.out");
        EXPECT_EQ(line->rfind("COM1" + std::to_string(i + 1) + " -> ", 0), 0U) << *line;
        EXPECT_NE(line->find(chip.driver), std::string::npos) << *line;
        EXPECT_NE(line->find(chip.vid_pid), std::string::npos) << *line;
        EXPECT_NE(line->find("/dev/serial/by-id/usb-tervalo_test_" + chip.name + "_emulated_" +
                             chip.name + "-0001-if00-port0"),
                  std::string::npos)
            << *line;
    }
}

}  // namespace
