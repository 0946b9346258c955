// The VM tier: tervalo in one QEMU guest against the kernel's own serial drivers, under
// the lab host's systemd and udev (tests/vm/guest-init, which makes most checks itself).
// The host plays the far ends of the FTDI adapter (QEMU's usb-serial) and of the 16550
// UART with tervalo-sim over QEMU's pseudo-terminals.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include "sim/sim_record.h"
#include "tests/e2e/record_check.h"

namespace {

namespace fs = std::filesystem;
const fs::path RUN_DIR = TERVALO_VM_RUN_DIR;
const fs::path GUEST_DIR = RUN_DIR / "guest";

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in.is_open()) << path << " is missing: the boot test runs first";
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
        const std::string version = name.starts_with("vmlinuz-") ? name.substr(8) : "";
        if (fs::exists("/lib/modules/" + version + "/modules.dep") &&
            strverscmp(version.c_str(), best.c_str()) > 0) {
            best = version;
        }
    }
    return best;
}

TEST(VmBoot, GuestRunsEveryScenarioAndEveryCheckHolds) {
    const std::string version = kernel_version();
    ASSERT_TRUE(fs::exists(QEMU_PROGRAM) && !version.empty())
        << "QEMU or a kernel with its modules is missing (scripts/install-deps all)";
    fs::remove_all(RUN_DIR);
    fs::create_directories(RUN_DIR);
    // The kernel's ELF image, booted through QEMU's PVH entry, spares the guest
    // decompressing it (about 3 s). Made once.
    const fs::path kernel = RUN_DIR.parent_path() / ("vmlinux-" + version);
    const std::string vm = TERVALO_VM_SOURCE_DIR;
    const std::string prepare =
        "cmake --install '" + std::string(TERVALO_BUILD_DIR) + "' --prefix '" + RUN_DIR.string() +
        "/usr' >/dev/null && '" + vm + "/make-initramfs' '" + RUN_DIR.string() + "/initrd.gz' " +
        version + " '" + vm + "/guest-init' && { [ -e '" + kernel.string() +
        "' ] || { k=/boot/vmlinuz-" + version +
        "; at=$(LC_ALL=C grep -obUaP -m1 '\\xfd7zXZ\\x00' $k | head -n 1 | cut -d: -f1) && "
        "tail -c +$((at + 1)) $k | xz -dc --single-stream >'" +
        kernel.string() + ".new' && mv '" + kernel.string() + ".new' '" + kernel.string() +
        "'; }; }";
    ASSERT_EQ(std::system(prepare.c_str()), 0) << prepare;
    // TCG: with KVM a boot here hung before the kernel started. ttyS0 is the console,
    // ttyS1 the UART under test.
    // clang-format off
    tool_run qemu(QEMU_PROGRAM, {
        "-machine", "q35", "-accel", "tcg", "-m", "512", "-smp", "1",
        "-nodefaults", "-display", "none", "-no-reboot",
        "-kernel", kernel.string(), "-initrd", (RUN_DIR / "initrd.gz").string(),
        "-append", "console=ttyS0 loglevel=1 panic=-1 systemd.unit=lab-host.target "
            "systemd.show_status=0 RUN=" + RUN_DIR.string() + " BUILD=" + TERVALO_BUILD_DIR +
            " SOURCE=" + vm,
        "-serial", "stdio", "-chardev", "pty,id=uart", "-serial", "chardev:uart",
        "-chardev", "pty,id=ftdi", "-device", "qemu-xhci", "-device", "usb-serial,chardev=ftdi",
        "-virtfs", "local,path=/,mount_tag=host,security_model=none,readonly=on,multidevs=remap",
        "-virtfs", "local,path=" + RUN_DIR.string() + ",mount_tag=run,security_model=none"}, RUN_DIR);
    // clang-format on
    ASSERT_TRUE(qemu.wait_for_output("(label ftdi)", LONG_WAIT)) << qemu.output();
    // The device players, on COM1 (the adapter's far end) and COM2 (the UART's). Through
    // the UART only faults that send at most one short frame a cycle: a longer burst
    // reaches the tool in parts, the last after the FIFO's timeout, which drops the frame.
    std::vector<std::unique_ptr<tool_run>> sims;
    for (const auto& [label, com, faults] :
         {std::tuple{"ftdi", "COM1", "bad-check,bad-escape,other-type,noise,length-0,silence"},
          {"uart", "COM2", "bad-check,length-0,silence"}}) {
        std::smatch pty;
        const std::string console = qemu.output();
        ASSERT_TRUE(std::regex_search(console, pty,
                                      std::regex(std::string("to (\\S+) \\(label ") + label)));
        fs::create_symlink(pty[1].str(), RUN_DIR / com);
        sims.push_back(std::make_unique<tool_run>(
            TERVALO_SIM_BINARY,
            std::vector<std::string>{"--open", com, "--record", std::string(label) + ".tsv",
                                     "--fault", faults, "--every", "2"},
            RUN_DIR));
    }
    // About a minute and a half under TCG; a deadline, not a count, on a loaded machine.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(450);
    while (qemu.output().find("@@done") == std::string::npos &&
           qemu.output().find("@@fail") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    EXPECT_GE(qemu.wait_exit(std::chrono::seconds(30)), 0) << "the guest did not power off";
    const std::string console = qemu.output();
    std::ofstream(RUN_DIR / "console.log", std::ios::binary) << console;
    EXPECT_NE(console.find("@@done"), std::string::npos) << console;
    // Each check the guest made: @@ok NAME, or @@bad NAME.
    for (std::size_t at = 0; (at = console.find("@@bad ", at)) != std::string::npos; ++at) {
        ADD_FAILURE() << console.substr(at, console.find('\n', at) - at) << "; see "
                      << (RUN_DIR / "console.log").string();
    }
}

// The end of the output's last cycle but one: the cycle under way at the pull or the
// kill, and the one before it, may be missing from the record.
std::size_t settled_end(const std::string& output) {
    std::vector<std::size_t> ends{0, 0};
    for (std::size_t at = 0, end = 0; (end = output.find("\r\n", at)) != std::string::npos;
         at = end + 2) {
        if (is_final_line(std::string_view(output).substr(at, end - at))) {
            ends.push_back(end + 2);
        }
    }
    return ends[ends.size() - 2];
}

// Through each driver, the output cycle by cycle as the device player's record says,
// faults included; for the CDC-ACM board also after its return, when the first cycles
// (the board enumerating) are not in the new player's record: up to two no-response
// lines. The emulated UART sends byte by byte, each a write by the guest's processor,
// and a busy host can stall it past the 2 ms the player allows between bytes: the player
// drops that greeting, as the tool would, and its record does not hold the cycle.
TEST(VmDrivers, ResponsesAndFaultsMatchTheDevicePlayersRecord) {
    const std::string NO_RESPONSE = NO_RESPONSE_LINE;
    for (const auto& [name, from, to, record_path, may_break, least] :
         {std::tuple{"ftdi", "", "", RUN_DIR / "ftdi.tsv", 0, 6},
          {"uart", "", "", RUN_DIR / "uart.tsv", -1, 6},
          {"acm", "", "acm.gone-at", GUEST_DIR / "acm-1.tsv", 0, 6},
          {"acm", "acm.back-at", "", GUEST_DIR / "acm-2.tsv", 2, 3},
          {"pl2303ta", "", "", GUEST_DIR / "pl2303ta.tsv", 0, 2}}) {
        SCOPED_TRACE(std::string(name) + " " + from);
        std::string output = read_text(GUEST_DIR / (std::string(name) + ".out"));
        output.resize(*to == 0 ? output.size() : std::stoul(read_text(GUEST_DIR / to)));
        output.resize(settled_end(output));
        std::size_t at = *from == 0 ? BANNER.size() : std::stoul(read_text(GUEST_DIR / from));
        ASSERT_TRUE(*from != 0 || output.starts_with(BANNER)) << escape_bytes(output);
        std::size_t cycles = 0;
        std::size_t faults = 0;
        // For the UART a quarter of the cycles.
        const std::vector<record_entry> record = read_record(record_path);
        const std::size_t allowed =
            may_break >= 0 ? static_cast<std::size_t>(may_break) : record.size() / 4;
        std::size_t broken = 0;
        for (const record_entry& entry : record) {
            std::size_t next = at;
            std::string mismatch = compare_cycle(output, next, entry);
            while (!mismatch.empty() && broken < allowed &&
                   output.compare(at, NO_RESPONSE.size(), NO_RESPONSE) == 0) {
                at += NO_RESPONSE.size();
                ++broken;
                mismatch = compare_cycle(output, next = at, entry);
            }
            if (at >= output.size()) {
                break;
            }
            ASSERT_EQ(mismatch, "");
            at = next;
            ++cycles;
            faults += entry.fault != "none" ? 1U : 0U;
        }
        EXPECT_EQ(at, output.size()) << "beyond the record: " << escape_bytes(output.substr(at));
        EXPECT_GE(cycles, static_cast<std::size_t>(least));
        EXPECT_GE(faults, *from != 0 ? 0U : cycles / 2)
            << "the device player mixed in too few faults";
    }
}

}  // namespace
