#include "serial/posix_terminal.h"

#include <fcntl.h>
#include <linux/magic.h>
#include <linux/major.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "serial/posix_dir.h"

namespace {

// Reads at most out.size() - 1 bytes of the file at dir_fd/path, zero-terminated.
bool read_start_of(int dir_fd, const char* path, std::span<char> out) {
    const int fd = openat(dir_fd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    ssize_t got = -1;
    do {
        got = read(fd, out.data(), out.size() - 1);
    } while (got < 0 && errno == EINTR);
    close(fd);
    if (got < 0) {
        return false;
    }
    out[static_cast<std::size_t>(got)] = '\0';
    return true;
}

bool is_process_id(const char* name) {
    for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9') {
            return false;
        }
    }
    return *name != '\0';
}

}  // namespace

bool is_terminal_device(int place) {
    struct stat node {};
    if (fstat(place, &node) != 0 || !S_ISCHR(node.st_mode)) {
        return false;
    }
    const unsigned major_number = major(node.st_rdev);
    const unsigned minor_number = minor(node.st_rdev);
    // 5:0 /dev/tty, 5:1 /dev/console, 5:2 /dev/ptmx (also in every devpts), 4:0 /dev/tty0.
    if (major_number == TTYAUX_MAJOR || (major_number == TTY_MAJOR && minor_number == 0)) {
        return false;
    }
    // Pseudo-terminals have no entry in sysfs; their file system says what they are.
    struct statfs file_system {};
    if (fstatfs(place, &file_system) == 0 && file_system.f_type == DEVPTS_SUPER_MAGIC) {
        return true;
    }
    std::array<char, 64> class_link{};
    std::snprintf(class_link.data(), class_link.size(), "/sys/dev/char/%u:%u/subsystem",
                  major_number, minor_number);
    std::array<char, 256> target{};
    // readlink returns the target's length, without a terminating zero, or -1.
    const ssize_t length = readlink(class_link.data(), target.data(), target.size() - 1);
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size() - 1) {
        return false;
    }
    const std::string_view subsystem(target.data(), static_cast<std::size_t>(length));
    return subsystem == "tty" || subsystem.ends_with("/tty");
}

bool parse_process_stat(const char* text, int* pid, unsigned* tty_nr, std::span<char> command) {
    // "<pid> (<command>) <state> <ppid> <pgrp> <session> <tty_nr> ...". The command may
    // hold spaces and parentheses of its own, so it ends at the last ')'.
    const char* open = std::strchr(text, '(');
    const char* close = std::strrchr(text, ')');
    if (open == nullptr || close == nullptr || close < open || close[1] != ' ' ||
        close[2] == '\0') {
        return false;
    }
    char* end = nullptr;
    const long id = std::strtol(text, &end, 10);
    if (end == text || id <= 0) {
        return false;
    }
    const char* field = close + 3;  // past ") " and the one-letter state
    long numbers[4] = {};
    for (long& number : numbers) {
        number = std::strtol(field, &end, 10);
        if (end == field) {
            return false;
        }
        field = end;
    }
    *pid = static_cast<int>(id);
    *tty_nr = static_cast<unsigned>(numbers[3]);
    const auto length = std::min(static_cast<std::size_t>(close - open - 1), command.size() - 1);
    std::memcpy(command.data(), open + 1, length);
    command[length] = '\0';
    return true;
}

bool is_same_terminal(unsigned tty_nr, dev_t rdev) {
    // The kernel's encoding: minor bits 0-7 and 20-31, major bits 8-19.
    const unsigned tty_major = (tty_nr >> 8) & 0xfffU;
    const unsigned tty_minor = (tty_nr & 0xffU) | ((tty_nr >> 12) & 0xfff00U);
    return tty_nr != 0 && tty_major == major(rdev) && tty_minor == minor(rdev);
}

bool find_terminal_holder(dev_t rdev, terminal_holder* holder) {
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        return false;
    }
    bool found = false;
    for_each_entry(proc, [&](const char* name) {
        std::array<char, 32> stat_path{};
        // Long enough for the stat line up to the terminal, whatever the command name.
        std::array<char, 512> text{};
        int pid = 0;
        unsigned tty_nr = 0;
        if (!is_process_id(name) ||
            std::snprintf(stat_path.data(), stat_path.size(), "%s/stat", name) >=
                static_cast<int>(stat_path.size()) ||
            !read_start_of(proc, stat_path.data(), text) ||
            !parse_process_stat(text.data(), &pid, &tty_nr, holder->command) ||
            !is_same_terminal(tty_nr, rdev)) {
            return true;
        }
        holder->pid = pid;
        found = true;
        return false;
    });
    close(proc);
    return found;
}
