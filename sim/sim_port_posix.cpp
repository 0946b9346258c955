#include "sim/sim_port.h"

#include <fcntl.h>
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
using path_text = std::array<char, 256>;
path_text link_to_remove{};
path_text own_terminal{};

void copy_text(const std::string& text, path_text& out) {
    out.fill('\0');
    std::memcpy(out.data(), text.data(), std::min(text.size(), out.size() - 1));
}

void remove_link_and_exit(int) {
    remove_own_link();
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

void remove_link_on_signal(const std::string& name, const std::string& terminal_path) {
    copy_text(name, link_to_remove);
    copy_text(terminal_path, own_terminal);
    struct sigaction action {};
    action.sa_handler = remove_link_and_exit;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal_number, &action, nullptr);
    }
}

void remove_own_link() {
    if (link_to_remove[0] == '\0') {
        return;
    }
    path_text target{};
    // Returns the length read, or -1. One byte is kept for the final zero.
    const ssize_t size = readlink(link_to_remove.data(), target.data(), target.size() - 1);
    if (size > 0 && std::strcmp(target.data(), own_terminal.data()) == 0) {
        unlink(link_to_remove.data());
    }
}

void clear_exclusive(const pty_link& link) {
    ioctl(link.terminal, TIOCNXCL);  // 0 or -1; nothing to do about a refusal
}
