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
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    for (const int stop_signal : STOP_SIGNALS) {
        sigaction(stop_signal, &default_action, nullptr);
    }
    // Still blocked here: it is delivered, with its default action, as the handler returns.
    raise(signal_number);
}

}  // namespace

void install_stop_summary() {
    struct sigaction action {};
    action.sa_handler = on_stop;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : STOP_SIGNALS) {
        sigaddset(&action.sa_mask, signal_number);
    }
    action.sa_flags = SA_RESTART;
    for (const int signal_number : STOP_SIGNALS) {
        // A signal the tool was started with ignored (nohup, a background job of a
        // script) stays ignored, as it was before.
        struct sigaction before {};
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal_number, &action, nullptr);
    }
}
