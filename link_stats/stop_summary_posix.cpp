// The handler runs in the middle of whatever the cycle was doing, so it only does what
// is safe there: it formats into a static buffer with our own number formatting, writes
// with write(2), and re-raises the signal with its default action restored, so the
// process ends by that signal and its parent sees the status it always saw.
#include <unistd.h>
#include <csignal>

#include <array>
#include <cerrno>

#include "link_stats/link_stats.h"
#include "link_stats/stop_summary.h"

namespace {

constexpr std::array<int, 2> STOP_SIGNALS{SIGINT, SIGTERM};

std::array<char, SUMMARY_MAX> summary_text;
// SIGQUIT's own: a stop may interrupt it.
std::array<char, SUMMARY_MAX> interim_text;
stop_hook hook_at_stop = nullptr;

const char* signal_name(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        default:
            return "signal";
    }
}

void write_all(int fd, const char* bytes, std::size_t count) {
    while (count > 0) {
        const ssize_t n = write(fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return;  // nowhere to report it
        }
    }
}

extern "C" void on_stop(int signal_number) {
    // Both stop signals are blocked while this runs (see sa_mask), and both get their
    // default action back before they are unblocked, so the summary is written once
    // even when the other one follows at once.
    const std::size_t size = format_summary(link_stats, summary_text);
    write_all(STDERR_FILENO, summary_text.data(), size);
    if (hook_at_stop != nullptr) {
        hook_at_stop(signal_name(signal_number));
    }
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (const int stop_signal : STOP_SIGNALS) {
        sigaction(stop_signal, &default_action, nullptr);
    }
    // Still blocked here: it is delivered, with its default action, as the handler returns.
    raise(signal_number);
}

// The summary so far (Ctrl-\ at a terminal); the run goes on.
extern "C" void on_quit(int) {
    const int saved_errno = errno;
    const std::size_t size = format_summary(link_stats, interim_text);
    write_all(STDERR_FILENO, interim_text.data(), size);
    errno = saved_errno;
}

// Installs handler for signal_number unless the tool was started with it ignored
// (nohup, a background job of a script): then it stays ignored, as it was before.
void install_unless_ignored(int signal_number, const struct sigaction& action) {
    struct sigaction before {};
    if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) {
        return;
    }
    sigaction(signal_number, &action, nullptr);
}

}  // namespace

void install_stop_summary(stop_hook also) {
    hook_at_stop = also;
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : STOP_SIGNALS) {
        sigaddset(&action.sa_mask, signal_number);
    }
    sigaddset(&action.sa_mask, SIGQUIT);
    action.sa_flags = SA_RESTART;
    for (const int signal_number : STOP_SIGNALS) {
        install_unless_ignored(signal_number, action);
    }
    // The stops are held off while the interim summary is written, so that it is whole
    // before theirs begins.
    struct sigaction quit_action = action;
    quit_action.sa_handler = on_quit;
    install_unless_ignored(SIGQUIT, quit_action);
}
