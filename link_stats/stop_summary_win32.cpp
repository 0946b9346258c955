// Windows calls a console control handler on a thread of its own, while the cycle goes
// on in the main thread. The race is benign: the counters are atomic, so a summary
// taken mid-cycle shows that cycle half counted, never a torn number, and the main
// thread's output to standard output is left alone. Returning FALSE passes the event on
// to the default handler, which ends the process with the status a stopped program
// always had.
//
// Windows cannot ask a pipe whether it has room, so at a stop the summary is written by
// a thread of its own, given a moment: a standard error whose reader has stalled keeps
// the summary, and the default handler's ExitProcess ends that thread with the rest. A
// run that ends by itself has no such hurry, and writes it whole however long it takes.
#include <windows.h>

#include <array>
#include <atomic>

#include "link_stats/link_stats.h"
#include "link_stats/stop_summary.h"

namespace {

std::array<char, SUMMARY_MAX> summary_text;
std::size_t summary_size = 0;
// The first stop writes the summary; a second one, while it is written, is passed on at
// once and ends the process.
std::atomic_flag summary_taken = ATOMIC_FLAG_INIT;
constexpr DWORD WRITE_WAIT_MS = 500;
stop_hook hook_at_stop = nullptr;

const char* event_name(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
            return "ctrl-c";
        case CTRL_BREAK_EVENT:
            return "ctrl-break";
        case CTRL_LOGOFF_EVENT:
            return "logoff";
        case CTRL_SHUTDOWN_EVENT:
            return "shutdown";
        default:
            return "close";
    }
}

DWORD WINAPI write_summary_text(void*) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), summary_text.data(), static_cast<DWORD>(summary_size),
              &written, nullptr);
    return 0;
}

// True when this call wrote it: within wait_ms, or however long it takes (INFINITE).
bool write_summary_once(DWORD wait_ms) {
    if (summary_taken.test_and_set()) {
        return false;
    }
    summary_size = format_summary(link_stats, summary_text);
    if (wait_ms == INFINITE) {
        write_summary_text(nullptr);
        return true;
    }
    HANDLE writer = CreateThread(nullptr, 0, write_summary_text, nullptr, 0, nullptr);
    if (writer != nullptr) {
        WaitForSingleObject(writer, wait_ms);
        CloseHandle(writer);
    }
    return true;
}

// Logging off and shutting down reach a console program as they reach Ctrl-C, and end
// it as surely once passed on: the summary and its record come first.
BOOL WINAPI on_console_event(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT ||
        event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) {
        if (write_summary_once(WRITE_WAIT_MS) && hook_at_stop != nullptr) {
            hook_at_stop(event_name(event));
        }
    }
    return FALSE;
}

}  // namespace

void install_stop_summary(stop_hook also) {
    hook_at_stop = also;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void write_final_summary() {
    write_summary_once(INFINITE);
}
