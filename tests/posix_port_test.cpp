// Ports on Linux: where names lead, which files may be opened as a port, who holds a
// terminal, and the port list over fake machines built in a temporary directory.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "port_list/port_list.h"
#include "port_list/sysfs_ports.h"
#include "serial/device_path.h"
#include "serial/posix_device.h"
#include "serial/posix_dir.h"
#include "serial/posix_terminal.h"
#include "tests/tables.h"

namespace {

namespace fs = std::filesystem;

// A temporary directory, made the working directory while it lives.
class PosixPort : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "tervalo-ports-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        fs::current_path(root_);
    }
    void TearDown() override {
        fs::current_path(original_);
        fs::remove_all(root_);
    }
    fs::path original_ = fs::current_path();
    fs::path root_;
};

TEST_F(PosixPort, NamesLeadOnlyTheWayTheirRouteAllows) {
    fs::create_symlink("/dev/null", "COM3");
    fs::create_symlink("/dev/null", "COM3x");
    fs::create_symlink("/does/not/exist", "COM12");
    const std::string ways[] = {"any", "entry", "builtin", "path"};  // as port_route
    auto rows = table("port_lookups");
    rows.push_back({"/" + std::string(DEVICE_PATH_SIZE, 'x'), "any", "bad name"});
    for (const table_row& row : rows) {
        std::array<char, DEVICE_PATH_SIZE> device{};
        port_route route = ROUTE_ANY;
        const auto wanted = std::find(std::begin(ways), std::end(ways), row[1]) - std::begin(ways);
        const int found =
            posix_device_for(row[0].c_str(), static_cast<port_route>(wanted), device, &route);
        const std::string place = found == DEVICE_BAD_NAME ? "bad name"
                                  : found == DEVICE_NOWHERE
                                      ? "nowhere " + std::string(device.data())
                                      : std::string(device.data()) + " by " + ways[route];
        EXPECT_EQ(place, row[2]) << '"' << row[0] << "\" wanting " << row[1];
    }
}

TEST_F(PosixPort, OnlyTerminalDevicesPassTheCheck) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_TRUE(master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0);
    std::ofstream("notes.txt") << "text";
    const std::string pty = ptsname(master);
    for (const char* path : {pty.c_str(), "/dev/null", "/dev/zero", "/dev/ptmx", "/dev/tty",
                             "/dev/pts/ptmx", "/dev/console", "notes.txt", "."}) {
        const int place = open(path, O_PATH | O_CLOEXEC);
        EXPECT_EQ(place >= 0 && is_terminal_device(place), path == pty) << path;
        close(place);
    }
    close(master);
}

TEST(ProcessStat, ReadsTheCommandAndTheTerminalWhateverTheCommandHolds) {
    for (const table_row& row : table("process_stats")) {
        int pid = 0;
        unsigned tty_nr = 0;
        std::array<char, 64> command{};
        ASSERT_EQ(parse_process_stat(row[0].c_str(), &pid, &tty_nr, command), row[1] != "-")
            << row[0];
        if (row[1] != "-") {
            EXPECT_EQ(std::to_string(pid) + "|" + command.data() + "|" + std::to_string(tty_nr),
                      row[1] + "|" + row[2] + "|" + row[3]);
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
    const std::size_t at = records.size();
    const auto length = static_cast<unsigned short>((name_at + name.size() + 1 + 7) / 8 * 8);
    records.resize(at + length, '\0');
    std::memcpy(records.data() + at + offsetof(dirent64, d_reclen), &length, sizeof length);
    std::memcpy(records.data() + at + name_at, name.data(), name.size());
}

TEST(DirectoryRecords, NamesOfAnyLengthAreReadInPlaceAndNeverPastTheirEnd) {
    // Names past 255 bytes come from exFAT, NTFS and CIFS; a dirent64 has no room for them.
    const std::string names[] = {"COM3", std::string(700, 'n') + "COM7", "x"};
    std::vector<char> records;
    for (const std::string& name : names) {
        put_record(records, name);
    }
    std::size_t at = 0;
    for (const std::string& name : names) {
        ASSERT_STREQ(next_dir_entry(records, &at), name.c_str());
    }
    EXPECT_EQ(next_dir_entry(records, &at), nullptr);
    // A record cut short, or without its terminating zero.
    records.clear();
    put_record(records, "abcdefgh");
    at = 0;
    EXPECT_EQ(next_dir_entry(std::span(records).first(records.size() - 1), &at), nullptr);
    std::fill(records.begin() + offsetof(dirent64, d_name), records.end(), 'z');
    at = 0;
    EXPECT_EQ(next_dir_entry(records, &at), nullptr);
}

std::string with_root(std::string text, const std::string& placeholder, const fs::path& at) {
    for (std::size_t i = 0; (i = text.find(placeholder, i)) != std::string::npos;) {
        text.replace(i, placeholder.size(), at.string());
    }
    return text;
}

TEST_F(PosixPort, SysfsPortListShowsWhatIsThereWithTheComNamesThatReachIt) {
    std::map<std::string, std::vector<table_row>> machines;
    for (const table_row& row : table("port_machines")) {
        machines[row[0]].push_back(row);
    }
    std::map<std::string, std::string> listings;
    for (const table_row& row : table("port_listings")) {
        listings[row[0]] += with_root(row[1], "{dev}", root_ / row[0] / "dev") + "\n";
    }
    ASSERT_EQ(machines.size(), listings.size());
    for (const auto& [number, entries] : machines) {
        const fs::path root = root_ / number;
        for (const char* dir : {"sys/class/tty", "dev/serial/by-id", "work", "proc",
                                "sys/devices/virtual/tty/tty0"}) {
            fs::create_directories(root / dir);
        }
        fs::create_directory_symlink(root / "sys/devices/virtual/tty/tty0",
                                     root / "sys/class/tty/tty0");
        for (const table_row& entry : entries) {
            const fs::path path = root / entry[2];
            fs::create_directories(path.parent_path());
            if (entry[1] == "d") {
                fs::create_directories(path);
            } else if (entry[1] == "f") {
                std::ofstream(path) << entry[3] << (entry[3].empty() ? "" : "\n");
            } else {
                fs::create_symlink(with_root(entry[3], "{root}", root), path);
            }
        }
        const std::string sys = (root / "sys").string();
        const std::string dev = (root / "dev").string();
        const std::string work = (root / "work").string();
        const std::string proc = (root / "proc").string();
        static port_list list;
        list_sysfs_ports(sysfs_roots{sys.c_str(), dev.c_str(), work.c_str(), proc.c_str()}, list);
        testing::internal::CaptureStdout();
        print_port_list(list);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), listings[number]) << "machine " << number;
    }
}

}  // namespace
