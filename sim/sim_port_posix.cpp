#include "sim/sim_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include "serial/posix_tty.h"

namespace {

// Kept for the signal handler, which may only make async-signal-safe calls.
std::array<char, 256> link_to_remove{};

void remove_link_and_exit(int) {
    if (link_to_remove[0] != '\0') {
        unlink(link_to_remove.data());
    }
    _exit(0);
}

std::string reason(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

void close_both(pty_link& link) {
    close(link.device);
    close(link.terminal);
    link.device = link.terminal = -1;
}

}  // namespace

std::string create_pty_link(const std::string& name, bool replace, pty_link& link) {
    struct stat existing {};
    if (lstat(name.c_str(), &existing) == 0) {
        if (!replace || !S_ISLNK(existing.st_mode)) {
            std::array<char, 256> target{};
            const ssize_t size = readlink(name.c_str(), target.data(), target.size() - 1);
            return name + " already exists" +
                   (size > 0 ? std::string(" (a link to ") + target.data() + ")" : "") +
                   (S_ISLNK(existing.st_mode) ? "; remove it or pass --replace"
                                              : "; remove it or choose another --port");
        }
    }

    link.device = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (link.device < 0) {
        return reason("cannot create a pseudo-terminal");
    }
    // 0 on success, -1 on failure, both.
    if (grantpt(link.device) != 0 || unlockpt(link.device) != 0) {
        std::string error = reason("cannot unlock the pseudo-terminal");
        close(link.device);
        return error;
    }
    link.terminal_path = ptsname(link.device);
    link.terminal = open(link.terminal_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (link.terminal < 0) {
        std::string error = reason("cannot open " + link.terminal_path);
        close(link.device);
        return error;
    }
    // Raw before anyone opens it: with echo on, replies would come straight back.
    set_raw_line(link.terminal);
    fcntl(link.device, F_SETFL, fcntl(link.device, F_GETFL) | O_NONBLOCK);

    if (replace && unlink(name.c_str()) != 0 && errno != ENOENT) {
        std::string error = reason("cannot replace " + name);
        close_both(link);
        return error;
    }
    if (symlink(link.terminal_path.c_str(), name.c_str()) != 0) {
        std::string error = reason("cannot create " + name);
        close_both(link);
        return error;
    }
    return "";
}

void remove_link_on_signal(const std::string& name) {
    std::memset(link_to_remove.data(), 0, link_to_remove.size());
    std::memcpy(link_to_remove.data(), name.data(),
                std::min(name.size(), link_to_remove.size() - 1));
    struct sigaction action {};
    action.sa_handler = remove_link_and_exit;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }
}

void release_exclusive_if_unused(const pty_link& link) {
    // tervalo holds an flock on the terminal for as long as it runs; if ours is
    // granted, nobody does. Both calls return 0 on success, -1 on failure.
    if (flock(link.terminal, LOCK_EX | LOCK_NB) != 0) {
        return;
    }
    ioctl(link.terminal, TIOCNXCL);
    flock(link.terminal, LOCK_UN);
}
