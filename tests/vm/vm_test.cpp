// The VM tier: tervalo inside a small Linux guest under QEMU, against the kernel's own
// serial drivers: ftdi_sio for an FTDI adapter (QEMU's usb-serial on an xHCI controller),
// the 8250 driver for a 16550 UART, and cdc_acm for a CDC-ACM board (the g_serial gadget
// on dummy_hcd, inside the guest).
//
// VmBoot boots the guest once. Its init (tests/vm/guest-init) runs the scenarios and
// prints on the console what it saw; this program plays the host end of the adapter and
// of the UART with tervalo-sim over QEMU's pseudo-terminals, pulls and plugs back the
// adapter through QEMU's monitor (QMP) when the guest asks, and leaves the guest's files
// and the sims' records in the run folder. The other suites check them.
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "sim/fault_plan.h"
#include "sim/sim_record.h"
#include "tests/e2e/record_check.h"
#include "tests/e2e/tool_harness.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

const fs::path RUN_DIR = TERVALO_VM_RUN_DIR;
const fs::path GUEST_DIR = RUN_DIR / "guest";
// The faults every device player mixes in, one every other cycle: the ones whose
// outcome does not hang on how a driver batches bytes.
const std::string FAULTS = "bad-check,bad-escape,other-type,noise,length-0,silence";
// Through the UART, only faults that send at most one short frame a cycle: the guest
// sets its receive FIFO to interrupt at 14 bytes, and a longer burst reaches the tool
// in parts, the last after the FIFO's 4 ms timeout, which drops the frame it splits.
const std::string UART_FAULTS = "bad-check,length-0,silence";
// Cycles the guest runs before pulling the adapter (and the UART alongside), and before
// pulling the CDC-ACM board.
constexpr std::size_t CYCLES = 13;
constexpr std::size_t ACM_CYCLES = 9;
// What the line probe prints for a port held at 921,600 8N1, raw, with DTR and RTS off.
const std::string LINE_AS_SET =
    "speed=921600 data=8 parity=N stop=1 flow=none raw=yes dtr=off "
    "rts=off\n";

// Generous: the kernel boots in about 5 s under TCG here, the scenarios take about a
// minute.
constexpr seconds BOOT_BOUND{60};
constexpr seconds RUN_BOUND{300};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The newest kernel in /boot whose modules are installed.
std::string kernel_version() {
    std::string best;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator("/boot", error)) {
        const std::string name = entry.path().filename();
        if (!name.starts_with("vmlinuz-")) {
            continue;
        }
        const std::string version = name.substr(8);
        // By version order: 6.1.0-57 after 6.1.0-9.
        if (fs::exists("/lib/modules/" + version + "/modules.dep") &&
            strverscmp(version.c_str(), best.c_str()) > 0) {
            best = version;
        }
    }
    return best;
}

// Waits until the console shows one of the markers; the one it showed, or "".
std::string wait_marker(const ToolRun& qemu, const std::vector<std::string>& markers,
                        seconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string console = qemu.output();
        for (const std::string& marker : markers) {
            if (console.find(marker) != std::string::npos) {
                return marker;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return "";
}

std::string pty_of(const std::string& console, const std::string& label) {
    std::smatch match;
    const std::regex redirected("char device redirected to (/dev/pts/[0-9]+) \\(label " + label +
                                "\\)");
    return std::regex_search(console, match, redirected) ? match[1].str() : "";
}

// Writes each "@@begin NAME" ... "@@end NAME" block of the console, hex from od, to
// GUEST_DIR/NAME. The number of files written.
int save_guest_files(const std::string& console) {
    fs::create_directories(GUEST_DIR);
    std::istringstream lines(console);
    std::ofstream file;
    int files = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.starts_with("@@begin ")) {
            file = std::ofstream(GUEST_DIR / line.substr(8), std::ios::binary);
            ++files;
        } else if (line.starts_with("@@end ")) {
            file.close();
        } else if (file.is_open()) {
            std::istringstream bytes(line);
            for (std::string hex; bytes >> hex;) {
                file.put(static_cast<char>(std::stoi(hex, nullptr, 16)));
            }
        }
    }
    return files;
}

// Sends one command to QEMU's monitor socket; its answer (a "return" or an "error").
std::string qmp(const fs::path& socket_path, const std::string& command) {
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socket_path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return "cannot connect to " + socket_path.string();
    }
    std::string received;
    // The greeting, then one answer per command; each is a line of JSON. Events may come
    // in between.
    const auto answer = [&] {
        for (;;) {
            const std::size_t end = received.find('\n');
            if (end != std::string::npos) {
                std::string line = received.substr(0, end);
                if (!line.empty() && line.back() == '\r') {
                    line.pop_back();
                }
                received.erase(0, end + 1);
                if (line.find("\"event\"") == std::string::npos) {
                    return line;
                }
                continue;
            }
            std::array<char, 4096> chunk{};
            const ssize_t got = read(fd, chunk.data(), chunk.size());
            if (got <= 0) {
                return std::string("the monitor closed");
            }
            received.append(chunk.data(), static_cast<std::size_t>(got));
        }
    };
    std::string reply = answer();
    for (const std::string& text : {std::string(R"({"execute":"qmp_capabilities"})"), command}) {
        const std::string line = text + "\n";
        if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
            reply = "cannot write to the monitor";
            break;
        }
        reply = answer();
    }
    close(fd);
    return reply;
}

const std::string UNPLUG_ADAPTER = R"({"execute":"device_del","arguments":{"id":"adapter"}})";
const std::string PLUG_ADAPTER =
    R"({"execute":"device_add","arguments":{"driver":"usb-serial","id":"adapter",)"
    R"("chardev":"ftdi"}})";

// tervalo-sim's options to play the device on port, with its record and log as name.*.
std::vector<std::string> sim_args(const std::string& port, const std::vector<std::string>& more,
                                  const std::string& name) {
    std::vector<std::string> args{"--open",      port,    "--record",
                                  name + ".tsv", "--log", name + ".log"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

TEST(VmBoot, GuestRunsEveryScenario) {
    ASSERT_TRUE(fs::exists(QEMU_PROGRAM))
        << "QEMU is missing: apt-get install qemu-system-x86 (scripts/install-deps all)";
    const std::string version = kernel_version();
    ASSERT_FALSE(version.empty()) << "no kernel with its modules in /boot and /lib/modules: "
                                     "apt-get install linux-image-amd64 (scripts/install-deps all)";
    fs::remove_all(RUN_DIR);
    fs::create_directories(RUN_DIR);
    const fs::path initrd = RUN_DIR / "initrd.gz";
    const std::string make = std::string(TERVALO_VM_SOURCE_DIR) + "/make-initramfs '" +
                             initrd.string() + "' '" + version + "' '" + TERVALO_VM_SOURCE_DIR +
                             "/guest-init' '" + TERVALO_BINARY + "' '" + TERVALO_SIM_BINARY +
                             "' '" + LINE_PROBE_BINARY + "'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;

    // TCG: with KVM a boot here hung before the kernel started.
    // clang-format off
    const std::vector<std::string> qemu_args{
        "-machine", "q35", "-accel", "tcg", "-m", "256", "-smp", "1",
        "-nodefaults", "-display", "none", "-no-reboot",
        "-kernel", "/boot/vmlinuz-" + version, "-initrd", initrd.string(),
        "-append", "console=ttyS0 loglevel=1 panic=-1 FAULTS=" + FAULTS +
            " CYCLES=" + std::to_string(CYCLES) + " ACM_CYCLES=" + std::to_string(ACM_CYCLES),
        // ttyS0 the console, ttyS1 the UART under test.
        "-serial", "stdio", "-chardev", "pty,id=uart", "-serial", "chardev:uart",
        "-chardev", "pty,id=ftdi", "-device", "qemu-xhci",
        "-device", "usb-serial,chardev=ftdi,id=adapter",
        "-qmp", "unix:" + (RUN_DIR / "qmp").string() + ",server=on,wait=off"};
    // clang-format on
    ToolRun qemu(QEMU_PROGRAM, qemu_args, RUN_DIR);
    const auto console_on_failure = [&] { return "\nthe console:\n" + qemu.output(); };
    ASSERT_TRUE(qemu.wait_for_output("(label ftdi)", BOOT_BOUND)) << console_on_failure();
    const std::string console = qemu.output();
    fs::create_symlink(pty_of(console, "ftdi"), RUN_DIR / "COM1");
    fs::create_symlink(pty_of(console, "uart"), RUN_DIR / "COM2");
    std::optional<ToolRun> ftdi_sim;
    ftdi_sim.emplace(TERVALO_SIM_BINARY,
                     sim_args("COM1", {"--fault", FAULTS, "--every", "2"}, "ftdi-1"), RUN_DIR);
    const ToolRun uart_sim(TERVALO_SIM_BINARY,
                           sim_args("COM2", {"--fault", UART_FAULTS, "--every", "2"}, "uart"),
                           RUN_DIR);

    ASSERT_EQ(wait_marker(qemu, {"@@pull ftdi", "@@fail"}, RUN_BOUND), "@@pull ftdi")
        << console_on_failure();
    // The cable of a board powered over USB: the adapter goes, and the device with it.
    // (QEMU does not unplug the adapter when its pseudo-terminal closes.)
    EXPECT_EQ(qmp(RUN_DIR / "qmp", UNPLUG_ADAPTER), R"({"return": {}})");
    kill(ftdi_sim->pid(), SIGTERM);
    EXPECT_EQ(ftdi_sim->wait_exit(SHORT_WAIT), 0);
    ASSERT_EQ(wait_marker(qemu, {"@@plug ftdi", "@@fail"}, RUN_BOUND), "@@plug ftdi")
        << console_on_failure();
    ftdi_sim.emplace(TERVALO_SIM_BINARY, sim_args("COM1", {}, "ftdi-2"), RUN_DIR);
    ASSERT_TRUE(ftdi_sim->wait_for_output("ready", SHORT_WAIT)) << ftdi_sim->output();
    EXPECT_EQ(qmp(RUN_DIR / "qmp", PLUG_ADAPTER), R"({"return": {}})");

    const std::string end = wait_marker(qemu, {"@@done", "@@fail"}, RUN_BOUND);
    EXPECT_GE(qemu.wait_exit(std::chrono::seconds(30)), 0) << "the guest did not power off";
    const std::string final_console = qemu.output();
    std::ofstream(RUN_DIR / "console.log", std::ios::binary) << final_console;
    ASSERT_EQ(end, "@@done") << console_on_failure();
    EXPECT_GT(save_guest_files(final_console), 10) << console_on_failure();
}

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
};

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
                output.compare(at, NO_RESPONSE_LINE.size(), NO_RESPONSE_LINE) != 0) {
                walk.mismatch = mismatch;
                return walk;
            }
            at += NO_RESPONSE_LINE.size();
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

TEST(VmDrivers, SecondInstanceRefused) {
    EXPECT_EQ(guest("second.status"), "255\n");
    EXPECT_EQ(guest("second.out"), "[error]:open serial port failed\r\n");
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
        EXPECT_GE(away.size(), 3 * NO_RESPONSE_LINE.size());
        for (std::size_t at = 0; at < away.size(); at += NO_RESPONSE_LINE.size()) {
            ASSERT_EQ(away.compare(at, NO_RESPONSE_LINE.size(), NO_RESPONSE_LINE), 0)
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

// Needs the reconnect (branch port): registered as vm-reconnect.
TEST(VmReconnect, DeviceBackUnderItsOldNameAndAnsweringWithinTwoCycles) {
    struct reconnect_run {
        std::string name;
        std::string com;
        std::string device;
        fs::path record;
    };
    const reconnect_run runs[] = {
        {"ftdi", "COM3", "/dev/ttyUSB0", RUN_DIR / "ftdi-2.tsv"},
        {"acm", "COM5", "/dev/ttyACM0", GUEST_DIR / "acm-2.tsv"},
    };
    for (const reconnect_run& run : runs) {
        SCOPED_TRACE(run.name);
        EXPECT_EQ(guest(run.name + ".names-back"), run.device + "\n")
            << "the returning device must get its old name: the tool let go of it";
        const std::string output = guest(run.name + ".out");
        std::size_t at = guest_number(run.name + ".back-at");
        int no_response = 0;
        while (output.compare(at, 17, "[info]:response: ") != 0) {
            ASSERT_EQ(output.compare(at, NO_RESPONSE_LINE.size(), NO_RESPONSE_LINE), 0)
                << escape_bytes(output.substr(at, 200));
            at += NO_RESPONSE_LINE.size();
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
        const std::string errors = guest(run.name + ".err");
        const std::string lost = "tervalo: " + run.com + ": port lost (";
        const std::string reopened =
            "tervalo: " + run.com + ": port reopened (" + run.device + ")\n";
        EXPECT_EQ(errors.find(lost), 0U) << errors;
        EXPECT_EQ(lines_of(errors).size(), 2U) << errors;
        EXPECT_TRUE(errors.ends_with(reopened)) << errors;
    }
}

// Needs the line read back and the open-failure reasons (branch port): vm-stderr.
TEST(VmStderr, TheKeptSpeedAndTheHeldPortAreNamed) {
    EXPECT_EQ(guest("uart.err"),
              "tervalo: COM4: the driver kept 9600 baud 8N1 (asked for 921600 "
              "8N1 without flow control)\n");
    EXPECT_EQ(guest("second.err"), "tervalo: COM3: in use by another program (/dev/ttyUSB0)\n");
    EXPECT_EQ(output_before_pull(DRIVER_RUNS[0]).find("kept"), std::string::npos);
}

// Needs --list (branch list): vm-list.
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

}  // namespace
