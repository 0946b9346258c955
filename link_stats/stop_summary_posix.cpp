// The handler runs in the middle of whatever the cycle was doing, so it only does what
// is safe there: it formats into a static buffer with our own number formatting, writes
// with poll(2) and write(2), and re-raises the signal with its default action restored,
// so the process ends by that signal and its parent sees the status it always saw.
#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>

#include "link_stats/link_stats.h"
#include "link_stats/stop_summary.h"

namespace {

// SIGHUP too: a closed terminal window, or a hang-up with standard error in a file.
constexpr std::array<int, 3> STOP_SIGNALS{SIGINT, SIGTERM, SIGHUP};

std::array<char, SUMMARY_MAX> summary_text;
// SIGQUIT's own: a stop may interrupt it.
std::array<char, SUMMARY_MAX> interim_text;
stop_hook hook_at_stop = nullptr;
// Which stop signals have our handler (a signal the tool was started with ignored has not).
std::array<bool, STOP_SIGNALS.size()> handled{};
// Taken by whoever writes the summary first, the handler or the end of the run.
std::atomic_flag summary_taken = ATOMIC_FLAG_INIT;

const char* signal_name(int signal_number) {
    switch (signal_number) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "signal";
    }
}

// Writes as much of the bytes as fd takes; with wait false, only what it takes without
// waiting (poll with no timeout before each write): a reader that has stalled, or a
// terminal stopped by Ctrl-S, gets what fits and the rest is dropped. An error drops the
// rest too, there being nowhere to report it.
void write_out(int fd, const char* bytes, std::size_t count, bool wait) {
    while (count > 0) {
        if (!wait) {
            pollfd ready{fd, POLLOUT, 0};
            const int polled = poll(&ready, 1, 0);
            if (polled < 0 && errno == EINTR) {
                continue;
            }
            if (polled != 1 || (ready.revents & POLLOUT) == 0) {
                return;
            }
        }
        const ssize_t n = write(fd, bytes, count);
        if (n > 0) {
            bytes += n;
            count -= static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

// True when this call wrote it.
bool write_summary_once(bool wait) {
    if (summary_taken.test_and_set()) {
        return false;
    }
    const std::size_t size = format_summary(link_stats, summary_text);
    write_out(STDERR_FILENO, summary_text.data(), size, wait);
    return true;
}

// Gives every stop signal we handle its default action back, then lets them all through:
// from here on any stop ends the process at once, and one that came while the handler
// was entered does so now.
void let_stops_end_the_process() {
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    sigemptyset(&default_action.sa_mask);
    sigset_t stops;
    sigemptyset(&stops);
    for (std::size_t i = 0; i < STOP_SIGNALS.size(); ++i) {
        if (handled[i]) {
            sigaction(STOP_SIGNALS[i], &default_action, nullptr);
        }
        sigaddset(&stops, STOP_SIGNALS[i]);
    }
    sigprocmask(SIG_UNBLOCK, &stops, nullptr);
}

extern "C" void on_stop(int signal_number) {
    let_stops_end_the_process();
    if (write_summary_once(false) && hook_at_stop != nullptr) {
        hook_at_stop(signal_name(signal_number));
    }
    // Unblocked and back at its default action, so the process ends here and nothing
    // that was interrupted needs its errno back.
    raise(signal_number);
}

// The summary so far (Ctrl-\ at a terminal); the run goes on, so it never waits.
extern "C" void on_quit(int) {
    const int saved_errno = errno;
    const std::size_t size = format_summary(link_stats, interim_text);
    write_out(STDERR_FILENO, interim_text.data(), size, false);
    errno = saved_errno;
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
    for (std::size_t i = 0; i < STOP_SIGNALS.size(); ++i) {
        // A signal the tool was started with ignored (nohup, a background job of a
        // script) stays ignored, as it was before.
        struct sigaction before {};
        if (sigaction(STOP_SIGNALS[i], nullptr, &before) == 0 && before.sa_handler == SIG_IGN) {
            continue;
        }
        handled[i] = sigaction(STOP_SIGNALS[i], &action, nullptr) == 0;
    }
    // The stops are held off while the interim summary is written, so that it is whole
    // before theirs begins.
    struct sigaction quit_action = action;
    quit_action.sa_handler = on_quit;
    struct sigaction before {};
    if (sigaction(SIGQUIT, nullptr, &before) == 0 && before.sa_handler != SIG_IGN) {
        sigaction(SIGQUIT, &quit_action, nullptr);
    }
}

void take_stop() {
    // Not reached: nothing asks for a stop here. Were it asked, it ends as an interrupt.
    on_stop(SIGINT);
    _exit(128 + SIGINT);
}

void write_final_summary() {
    // The run has ended by itself, so the whole summary is wanted, but a stop while it is
    // written still ends the process at once.
    let_stops_end_the_process();
    write_summary_once(true);
}
