// Where port names lead on Linux, and which files may be opened as a port at all.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "serial/device_path.h"
#include "serial/posix_device.h"
#include "serial/posix_dir.h"
#include "serial/posix_terminal.h"

namespace {

class PosixDevice : public ::testing::Test {
  protected:
    void SetUp() override {
        original_ = std::filesystem::current_path();
        dir_ =
            std::filesystem::temp_directory_path() / ("tervalo-names-" + std::to_string(getpid()));
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
    }
    void TearDown() override {
        std::filesystem::current_path(original_);
        std::filesystem::remove_all(dir_);
    }

    // "<where>" for a name that leads somewhere the route allows, "nowhere <looked for>"
    // and "bad name" otherwise; " by <route>" tells the way it went.
    static std::string lookup(const std::string& name, port_route wanted) {
        std::array<char, DEVICE_PATH_SIZE> device{};
        port_route route = ROUTE_ANY;
        switch (posix_device_for(name.c_str(), wanted, device, &route)) {
            case DEVICE_BAD_NAME:
                return "bad name";
            case DEVICE_NOWHERE:
                return std::string("nowhere ") + device.data();
            case DEVICE_FOUND:
                break;
        }
        const char* ways[] = {"any", "entry", "builtin", "path"};
        return std::string(device.data()) + " by " + ways[route];
    }

    std::filesystem::path original_;
    std::filesystem::path dir_;
};

TEST_F(PosixDevice, NamesLeadOnlyTheWayTheirRouteAllows) {
    std::filesystem::create_symlink("/dev/null", "COM3");
    std::filesystem::create_symlink("/does/not/exist", "COM12");
    std::filesystem::create_symlink("/dev/null", "COM3x");
    struct row {
        std::string name;
        port_route wanted;
        std::string leads_to;
    };
    const std::vector<row> rows{
        // A first open takes the entry when there is one, else the built-in port.
        {"COM1", ROUTE_ANY, "/dev/ttyS0 by builtin"},
        {"COM12", ROUTE_ANY, "COM12 by entry"},  // a dangling link is still meant
        {"COM012", ROUTE_ANY, "COM12 by entry"},
        {"COM3", ROUTE_ANY, "COM3 by entry"},
        {"COM3x", ROUTE_ANY, "COM3x by entry"},
        {"COM2147483647", ROUTE_ANY, "/dev/ttyS2147483646 by builtin"},
        {"COM99999999999", ROUTE_ANY, "/dev/ttyS2147483646 by builtin"},
        {"/dev/ttyUSB0", ROUTE_ANY, "/dev/ttyUSB0 by path"},
        {"/dev/serial/by-id/usb-x", ROUTE_ANY, "/dev/serial/by-id/usb-x by path"},
        // A reopen never falls from one way to the other.
        {"COM3", ROUTE_BUILTIN, "/dev/ttyS2 by builtin"},
        {"COM1", ROUTE_ENTRY, "nowhere COM1"},
        {"COM3", ROUTE_ENTRY, "COM3 by entry"},
        {"/dev/ttyUSB0", ROUTE_DEVICE_PATH, "/dev/ttyUSB0 by path"},
        // Forms that reach no built-in port keep the name looked for, never "\\.\".
        {"COM0", ROUTE_ANY, "nowhere COM0"},
        {"COM-1", ROUTE_ANY, "nowhere COM-1"},
        {"COM 5", ROUTE_ANY, "nowhere COM 5"},
        {"COM03", ROUTE_ANY, "nowhere COM03"},
        {"COM", ROUTE_ANY, "nowhere COM"},
        {"COM5x", ROUTE_ANY, "nowhere COM5x"},
        {"", ROUTE_ANY, "bad name"},
        {"com3", ROUTE_ANY, "bad name"},
        {"dev/ttyUSB0", ROUTE_ANY, "bad name"},
        {"/" + std::string(DEVICE_PATH_SIZE, 'x'), ROUTE_ANY, "bad name"},
    };
    for (const row& r : rows) {
        EXPECT_EQ(lookup(r.name, r.wanted), r.leads_to)
            << '"' << r.name << "\" wanting " << r.wanted;
    }
}

// Opens path with O_PATH, as the port is checked before it is opened.
bool terminal_at(const std::string& path) {
    const int place = open(path.c_str(), O_PATH | O_CLOEXEC);
    if (place < 0) {
        return false;
    }
    const bool terminal = is_terminal_device(place);
    close(place);
    return terminal;
}

TEST_F(PosixDevice, OnlyTerminalDevicesPassTheCheck) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    const std::string pty = ptsname(master);
    std::ofstream("notes.txt") << "text";
    std::vector<std::pair<std::string, bool>> rows{
        {pty, true},
        {"/dev/null", false},
        {"/dev/zero", false},
        {"/dev/ptmx", false},
        {"/dev/tty", false},
        {"/dev/pts/ptmx", false},
        {"/dev/console", false},
        {"notes.txt", false},
        {".", false},
    };
    // The built-in UART, where this machine has one: class tty in sysfs.
    if (std::filesystem::exists("/sys/class/tty/ttyS0") && std::filesystem::exists("/dev/ttyS0")) {
        rows.emplace_back("/dev/ttyS0", true);
    }
    for (const auto& [path, terminal] : rows) {
        EXPECT_EQ(terminal_at(path), terminal) << path;
    }
    close(master);
}

TEST(ProcessStat, ReadsTheCommandAndTheTerminalWhateverTheCommandHolds) {
    struct row {
        std::string text;
        bool parsed;
        int pid;
        std::string command;
        unsigned tty_nr;
    };
    const std::vector<row> rows{
        {"4242 (bash) S 4200 4242 4242 34816 4300 4194560 ...", true, 4242, "bash", 34816},
        {"17 (a b) c) (d) R 1 17 17 0 -1", true, 17, "a b) c) (d", 0},
        {"9 (x) S 1 9 9 -1", true, 9, "x", 4294967295U},
        {"9 (x) S 1 9 9", false, 0, "", 0},
        {"9 x S 1 9 9 0", false, 0, "", 0},
        {"(x) S 1 9 9 0", false, 0, "", 0},
        {"", false, 0, "", 0},
    };
    for (const row& r : rows) {
        int pid = 0;
        unsigned tty_nr = 0;
        std::array<char, 64> command{};
        ASSERT_EQ(parse_process_stat(r.text.c_str(), &pid, &tty_nr, command), r.parsed) << r.text;
        if (r.parsed) {
            EXPECT_EQ(pid, r.pid) << r.text;
            EXPECT_EQ(command.data(), r.command) << r.text;
            EXPECT_EQ(tty_nr, r.tty_nr) << r.text;
        }
    }
    // /dev/pts/0 is 136:0, encoded 34816; minors past 255 go to the high bits.
    EXPECT_TRUE(is_same_terminal(34816, makedev(136, 0)));
    EXPECT_TRUE(is_same_terminal((136U << 8) | 0x34U | (0x12U << 20), makedev(136, 0x1234)));
    EXPECT_FALSE(is_same_terminal(34816, makedev(136, 1)));
    EXPECT_FALSE(is_same_terminal(0, makedev(0, 0)));
}

// One getdents64 record as the kernel lays it out, 8-byte aligned.
void put_record(std::vector<char>& records, const std::string& name) {
    const std::size_t name_at = offsetof(dirent64, d_name);
    const std::size_t length = (name_at + name.size() + 1 + 7) / 8 * 8;
    const std::size_t at = records.size();
    records.resize(at + length, '\0');
    const auto reclen = static_cast<unsigned short>(length);
    std::memcpy(records.data() + at + offsetof(dirent64, d_reclen), &reclen, sizeof reclen);
    std::memcpy(records.data() + at + name_at, name.data(), name.size());
}

TEST(DirectoryRecords, NamesOfAnyLengthAreReadInPlace) {
    // Names past 255 bytes come from exFAT, NTFS and CIFS; a dirent64 has no room for them.
    const std::vector<std::string> names{"COM3", std::string(700, 'n') + "COM7", "x"};
    std::vector<char> records;
    for (const std::string& name : names) {
        put_record(records, name);
    }
    std::size_t at = 0;
    for (const std::string& name : names) {
        const char* got = next_dir_entry(records, &at);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(got, name);
    }
    EXPECT_EQ(next_dir_entry(records, &at), nullptr);

    // A record cut short or without its terminating zero is not read past its end.
    records.clear();
    put_record(records, "abcdefgh");
    at = 0;
    EXPECT_EQ(next_dir_entry(std::span<const char>(records.data(), records.size() - 1), &at),
              nullptr);
    std::fill(records.begin() + offsetof(dirent64, d_name), records.end(), 'z');
    at = 0;
    EXPECT_EQ(next_dir_entry(records, &at), nullptr);
}

}  // namespace
