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
#include <cstdint>
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

namespace {

// A process's open files, matched against the devices looked for.
struct process_view {
    int pid;
    std::uint64_t holds;    // bit i: it has devices[i] open
    std::uint64_t masters;  // bit i: it has the master of devices[i] open
};

// The pseudo-terminal whose master reports this tty-index in fdinfo: the kernel numbers
// them on from 136:0, carrying minors of more than 20 bits into the next major.
dev_t pty_of_index(unsigned long index) {
    return makedev(UNIX98_PTY_SLAVE_MAJOR + static_cast<unsigned>(index >> 20),
                   static_cast<unsigned>(index & 0xfffffU));
}

std::uint64_t bits_of(std::span<const dev_t> devices, dev_t rdev) {
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        bits |= devices[i] == rdev ? std::uint64_t{1} << i : 0;
    }
    return bits;
}

// Looks at every descriptor of the process whose /proc directory is open at pid_dir.
// False when /proc does not show them to this user.
bool view_files(int pid_dir, std::span<const dev_t> devices, process_view& view) {
    const int fd_dir = openat(pid_dir, "fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_dir < 0) {
        return false;
    }
    for_each_entry(fd_dir, [&](const char* fd_name) {
        // Only files under /dev are looked at: stat on anything else could wait on a
        // network file system that no longer answers.
        std::array<char, 64> target{};
        const ssize_t length = readlinkat(fd_dir, fd_name, target.data(), target.size() - 1);
        struct stat node {};
        if (length <= 0 || std::string_view(target.data()).rfind("/dev/", 0) != 0 ||
            fstatat(fd_dir, fd_name, &node, 0) != 0 || !S_ISCHR(node.st_mode)) {
            return true;
        }
        view.holds |= bits_of(devices, node.st_rdev);
        if (node.st_rdev == makedev(TTYAUX_MAJOR, 2)) {  // a master, from /dev/ptmx
            std::array<char, 48> info_path{};
            std::array<char, 256> info{};
            std::snprintf(info_path.data(), info_path.size(), "fdinfo/%s", fd_name);
            const char* index = read_start_of(pid_dir, info_path.data(), info)
                                    ? std::strstr(info.data(), "tty-index:")
                                    : nullptr;
            if (index != nullptr) {
                view.masters |=
                    bits_of(devices, pty_of_index(std::strtoul(index + 10, nullptr, 10)));
            }
        }
        return true;
    });
    close(fd_dir);
    return true;
}

void name_holder(port_holder& holder, holder_kind kind, int pid, const port_holder& named) {
    holder.kind = kind;
    holder.pid = pid;
    holder.command = named.command;
}

}  // namespace

std::size_t find_holders(const char* proc_root, std::span<const dev_t> devices,
                         std::span<device_holders> found) {
    std::fill(found.begin(), found.end(), device_holders{});
    const int proc = open(proc_root, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0 || devices.size() > HOLDERS_AT_ONCE) {
        if (proc >= 0) {
            close(proc);
        }
        return 0;
    }
    const int self = getpid();
    std::size_t hidden = 0;
    for_each_entry(proc, [&](const char* name) {
        // Long enough for the stat line up to the terminal, whatever the command name.
        std::array<char, 512> text{};
        port_holder named{};
        process_view view{};
        unsigned tty_nr = 0;
        if (!is_process_id(name)) {
            return true;
        }
        const int pid_dir = openat(proc, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (pid_dir < 0) {
            return true;
        }
        const bool stat_read = read_start_of(pid_dir, "stat", text) &&
                               parse_process_stat(text.data(), &view.pid, &tty_nr, named.command);
        const bool files_seen = stat_read && view.pid != self && view_files(pid_dir, devices, view);
        close(pid_dir);
        if (!stat_read || view.pid == self) {
            return true;
        }
        hidden += files_seen ? 0 : 1;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const std::uint64_t bit = std::uint64_t{1} << i;
            device_holders& held = found[i];
            const bool master = (view.masters & bit) != 0;
            if (master) {
                name_holder(held.far_end, HOLDER_OPENER, view.pid, named);
            }
            // A session's terminal stays its own even when the session also holds the
            // master, as a program that starts a shell on a pseudo-terminal may.
            if (is_same_terminal(tty_nr, devices[i]) && held.holder.kind != HOLDER_SESSION) {
                name_holder(held.holder, HOLDER_SESSION, view.pid, named);
            } else if (!master && (view.holds & bit) != 0 && held.holder.kind == HOLDER_NONE) {
                name_holder(held.holder, HOLDER_OPENER, view.pid, named);
            }
        }
        return true;
    });
    close(proc);
    return hidden;
}

bool still_holds(const char* proc_root, dev_t rdev, const port_holder& holder) {
    if (holder.kind != HOLDER_SESSION && holder.kind != HOLDER_OPENER) {
        return false;
    }
    std::array<char, 4096 + 16> path{};
    std::snprintf(path.data(), path.size(), "%s/%d", proc_root, holder.pid);
    const int pid_dir = open(path.data(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (pid_dir < 0) {
        return false;
    }
    std::array<char, 512> text{};
    port_holder named{};
    process_view view{};
    unsigned tty_nr = 0;
    const std::array<dev_t, 1> device{rdev};
    bool holds = read_start_of(pid_dir, "stat", text) &&
                 parse_process_stat(text.data(), &view.pid, &tty_nr, named.command) &&
                 std::strcmp(named.command.data(), holder.command.data()) == 0;
    if (holds && holder.kind == HOLDER_SESSION) {
        holds = is_same_terminal(tty_nr, rdev);
    } else if (holds) {
        holds = view_files(pid_dir, device, view) && view.holds != 0 && view.masters == 0;
    }
    close(pid_dir);
    return holds;
}

bool find_console(const char* consoles_path, dev_t rdev, port_holder* holder) {
    // One line per console: "ttyS0                -W- (EC p a)    4:64"; the device
    // number is the last field.
    std::array<char, 2048> text{};
    if (!read_start_of(AT_FDCWD, consoles_path, text)) {
        return false;
    }
    for (char* line = text.data(); *line != '\0';) {
        char* end = std::strchr(line, '\n');
        if (end != nullptr) {
            *end = '\0';
        }
        const char* numbers = std::strrchr(line, ' ');
        unsigned major_number = 0;
        unsigned minor_number = 0;
        if (numbers != nullptr &&
            std::sscanf(numbers, " %u:%u", &major_number, &minor_number) == 2 &&
            makedev(major_number, minor_number) == rdev) {
            holder->kind = HOLDER_CONSOLE;
            holder->pid = 0;
            const std::size_t length =
                std::min(std::strcspn(line, " "), holder->command.size() - 1);
            std::memcpy(holder->command.data(), line, length);
            holder->command[length] = '\0';
            return true;
        }
        if (end == nullptr) {
            break;
        }
        line = end + 1;
    }
    return false;
}
