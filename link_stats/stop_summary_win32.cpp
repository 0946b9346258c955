// Windows calls a console control handler on a thread of its own, while the cycle goes
// on in the main thread. The race is benign: the counters are atomic, so a summary
// taken mid-cycle shows that cycle half counted, never a torn number, and the main
// thread's output to standard output is left alone. Returning FALSE passes the event on
// to the default handler, which ends the process with the status a stopped program
// always had.
#include <windows.h>

#include <array>
#include <atomic>

#include "link_stats/link_stats.h"
#include "link_stats/stop_summary.h"

namespace {

std::array<char, SUMMARY_MAX> summary_text;
// A second Ctrl-C while the first is handled runs the handler again, on another thread:
// it waits for the first to finish writing (briefly: the default handler it passes the
// event to ends the process) rather than writing the summary twice or cutting it short.
std::atomic_flag summary_started = ATOMIC_FLAG_INIT;
std::atomic<bool> summary_written{false};
constexpr int WRITE_WAIT_MS = 1000;
stop_hook hook_at_stop = nullptr;

const char* event_name(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return "ctrl-c";
        case CTRL_BREAK_EVENT:
            return "ctrl-break";
        default:
            return "close";
    }
}

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    if (!summary_started.test_and_set()) {
        const std::size_t size = format_summary(link_stats, summary_text);
        DWORD written = 0;
        WriteFile(GetStdHandle(STD_ERROR_HANDLE), summary_text.data(), static_cast<DWORD>(size),
                  &written, nullptr);
        if (hook_at_stop != nullptr) {
            hook_at_stop(event_name(event));
        }
        summary_written = true;
    } else {
        for (int waited = 0; !summary_written && waited < WRITE_WAIT_MS; ++waited) {
            Sleep(1);
        }
    }
    return FALSE;
}

}  // namespace

void install_stop_summary(stop_hook also) {
    hook_at_stop = also;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}
