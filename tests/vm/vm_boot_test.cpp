// The VM tier's boot: tervalo inside a small Linux guest under QEMU, against the
// kernel's own serial drivers: ftdi_sio for an FTDI adapter (QEMU's usb-serial on an xHCI
// controller), the 8250 driver for a 16550 UART, and cdc_acm for a CDC-ACM board (the
// g_serial gadget on dummy_hcd, inside the guest).
//
// The guest's init (tests/vm/guest-init) runs the scenarios and prints on the console
// what it saw. This test plays the host end of the adapter and of the UART with
// tervalo-sim over QEMU's pseudo-terminals, pulls and plugs back the adapter through
// QEMU's monitor (QMP) when the guest asks, and leaves the guest's files and the device
// players' records in the run folder for the checks (vm_checks_test.cpp).
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

#include "tests/e2e/tool_harness.h"
#include "tests/vm/vm_run.h"

namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;

// The faults every device player mixes in, one every other cycle: the ones whose
// outcome does not hang on how a driver batches bytes.
const std::string FAULTS = "bad-check,bad-escape,other-type,noise,length-0,silence";
// Through the UART, only faults that send at most one short frame a cycle: the guest
// sets its receive FIFO to interrupt at 14 bytes, and a longer burst reaches the tool
// in parts, the last after the FIFO's 4 ms timeout, which drops the frame it splits.
const std::string UART_FAULTS = "bad-check,length-0,silence";
// Generous: the kernel boots in about 5 s under TCG here, the scenarios take about a
// minute.
constexpr seconds BOOT_BOUND{60};
constexpr seconds RUN_BOUND{300};

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
std::string wait_marker(const tool_run& qemu, const std::vector<std::string>& markers,
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
// folder/NAME. The number of files written.
int save_guest_files(const std::string& console, const fs::path& folder = GUEST_DIR) {
    fs::create_directories(folder);
    std::istringstream lines(console);
    std::ofstream file;
    int files = 0;
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.starts_with("@@begin ")) {
            file = std::ofstream(folder / line.substr(8), std::ios::binary);
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
                             "' '" + LINE_PROBE_BINARY + "' '" + CHIP_EMULATOR_BINARY + "'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;

    // TCG: with KVM a boot here hung before the kernel started.
    // clang-format off
    const std::vector<std::string> qemu_args{
        "-machine", "q35", "-accel", "tcg", "-m", "256", "-smp", "1",
        "-nodefaults", "-display", "none", "-no-reboot",
        "-kernel", "/boot/vmlinuz-" + version, "-initrd", initrd.string(),
        "-append", "console=ttyS0 loglevel=1 panic=-1 FAULTS=" + FAULTS +
            " CYCLES=" + std::to_string(CYCLES) + " ACM_CYCLES=" + std::to_string(ACM_CYCLES) +
            " CHIP_CYCLES=" + std::to_string(CHIP_CYCLES),
        // ttyS0 the console, ttyS1 the UART under test.
        "-serial", "stdio", "-chardev", "pty,id=uart", "-serial", "chardev:uart",
        "-chardev", "pty,id=ftdi", "-device", "qemu-xhci",
        "-device", "usb-serial,chardev=ftdi,id=adapter",
        "-qmp", "unix:" + (RUN_DIR / "qmp").string() + ",server=on,wait=off"};
    // clang-format on
    tool_run qemu(QEMU_PROGRAM, qemu_args, RUN_DIR);
    const auto console_on_failure = [&] { return "\nthe console:\n" + qemu.output(); };
    ASSERT_TRUE(qemu.wait_for_output("(label ftdi)", BOOT_BOUND)) << console_on_failure();
    const std::string console = qemu.output();
    fs::create_symlink(pty_of(console, "ftdi"), RUN_DIR / "COM1");
    fs::create_symlink(pty_of(console, "uart"), RUN_DIR / "COM2");
    std::optional<tool_run> ftdi_sim;
    ftdi_sim.emplace(TERVALO_SIM_BINARY,
                     sim_args("COM1", {"--fault", FAULTS, "--every", "2"}, "ftdi-1"), RUN_DIR);
    const tool_run uart_sim(TERVALO_SIM_BINARY,
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

// The host's own Debian userland under systemd and udev, with the build installed as the
// package installs it (tests/vm/lab-host-guest): the guest checks what the services did
// at each plug, pull and stop, and says so on the console.
TEST(VmLabHost, BenchesFollowTheirAdapters) {
    const fs::path run = RUN_DIR.parent_path() / "lab-host";
    fs::remove_all(run);
    const std::string install = "cmake --install '" + std::string(TERVALO_BUILD_DIR) +
                                "' --prefix '" + (run / "usr").string() + "' >/dev/null";
    ASSERT_EQ(std::system(install.c_str()), 0) << install;
    const fs::path initrd = run / "initrd.gz";
    const std::string make = "MODULES='virtio_pci 9pnet_virtio 9p overlay' " +
                             std::string(TERVALO_VM_SOURCE_DIR) + "/make-initramfs '" +
                             initrd.string() + "' '" + kernel_version() + "' '" +
                             TERVALO_VM_SOURCE_DIR + "/lab-host-guest'";
    ASSERT_EQ(std::system(make.c_str()), 0) << make;
    // The kernel's ELF image, booted through QEMU's PVH entry, spares the guest
    // decompressing it (about 3 s). Made once.
    const fs::path kernel = RUN_DIR.parent_path() / ("vmlinux-" + kernel_version());
    const std::string unpack = "k=/boot/vmlinuz-" + kernel_version() +
                               "; at=$(LC_ALL=C grep -obUaP -m1 '\\xfd7zXZ\\x00' $k | "
                               "head -n 1 | cut -d: -f1) && tail -c +$((at + 1)) $k | "
                               "xz -dc --single-stream >'" +
                               kernel.string() + ".new' && mv '" + kernel.string() + ".new' '" +
                               kernel.string() + "'";
    ASSERT_TRUE(fs::exists(kernel) || std::system(unpack.c_str()) == 0)
        << unpack << " (xz-utils: scripts/install-deps all)";
    // clang-format off
    tool_run qemu(QEMU_PROGRAM, {
        "-machine", "q35", "-accel", "tcg", "-m", "512", "-smp", "1",
        "-nodefaults", "-display", "none", "-no-reboot",
        "-kernel", kernel.string(), "-initrd", initrd.string(),
        "-append", "console=ttyS0 loglevel=1 panic=-1 systemd.unit=lab-host.target "
            "systemd.show_status=0 RUN=" + run.string() + " BUILD=" + TERVALO_BUILD_DIR +
            " SOURCE=" + TERVALO_VM_SOURCE_DIR,
        "-serial", "stdio",
        "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap"}, run);
    // clang-format on
    const std::string end = wait_marker(qemu, {"@@done", "@@fail"}, RUN_BOUND);
    EXPECT_GE(qemu.wait_exit(std::chrono::seconds(30)), 0) << "the guest did not power off";
    const std::string console = qemu.output();
    std::ofstream(run / "console.log", std::ios::binary) << console;
    ASSERT_EQ(end, "@@done") << console;
    EXPECT_EQ(save_guest_files(console, run / "guest"), 4);
    for (const char* check :
         {"labels", "options", "node-exporter", "user", "unlisted", "pulled-lost", "pulled-running",
          "other-answers", "other-up", "other-kept", "replug-answers", "replug-same", "stop-clean",
          "stop-down", "stop-summary", "verify"}) {
        EXPECT_TRUE(std::regex_search(console, std::regex("@@ok " + std::string(check) + "\r?\n")))
            << check << " failed; see " << (run / "console.log").string();
    }
}

}  // namespace
