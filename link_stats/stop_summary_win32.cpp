// Windows calls a console control handler on a thread of its own, while the cycle goes
// on in the main thread. Were the handler to write the records itself, each would take
// its own count while the cycle went on printing and logging; so it asks the cycle to
// stop (timing/stop_request.h), and the cycle, at its boundary, writes the summary, the
// log's summary and the metrics' last state from one set of counts and ends the process.
// A cycle that does not get there in time (its standard output or log stalled) is
// stopped by the handler instead, from the counts of the cycles that ended.
//
// The process ends by TerminateProcess with the status a stopped console program always
// had, STATUS_CONTROL_C_EXIT: not by ExitProcess, whose C runtime would flush a standard
// output that nobody reads for ever.
//
// Windows cannot ask a pipe whether it has room, so the summary is written by a thread
// of its own, given a moment: a standard error whose reader has stalled keeps the
// summary. A run that ends by itself has no such hurry, and writes it whole however long
// it takes.
#include <windows.h>

#include <array>
#include <atomic>

#include "link_stats/link_stats.h"
#include "link_stats/stop_summary.h"
#include "timing/stop_request.h"

namespace {

// Who writes the summary: the first to claim it, once.
enum summary_writer : int { NOBODY, CYCLE_AT_STOP, RUN_END, HANDLER };
std::atomic<int> summary_by{NOBODY};

std::array<char, SUMMARY_MAX> summary_text;
std::size_t summary_size = 0;
stop_hook hook_at_stop = nullptr;
std::atomic<const char*> stop_name{"ctrl-c"};
std::atomic<int> stops_seen{0};

constexpr DWORD WRITE_WAIT_MS = 500;
// How long the handler gives the cycle to reach its boundary, asking again each tick (a
// read begun just after one ask is cut by the next), and longer while it waits for a
// byte, which ends within STOP_LOOK_MS; and, once the cycle has claimed the summary, to
// write its records.
constexpr ULONGLONG CYCLE_WAIT_MS = 500;
constexpr DWORD ASK_AGAIN_MS = 10;
constexpr DWORD RECORDS_WAIT_MS = 1000;

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

bool claim_summary(summary_writer writer) {
    int nobody = NOBODY;
    return summary_by.compare_exchange_strong(nobody, writer);
}

[[noreturn]] void end_process() {
    TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
    // TerminateProcess on the process itself does not return.
    for (;;) {
        Sleep(INFINITE);
    }
}

DWORD WINAPI write_summary_text(void*) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), summary_text.data(), static_cast<DWORD>(summary_size),
              &written, nullptr);
    return 0;
}

// Within wait_ms, or however long it takes (INFINITE).
void write_summary(DWORD wait_ms) {
    summary_size = format_summary(link_stats, summary_text);
    if (wait_ms == INFINITE) {
        write_summary_text(nullptr);
        return;
    }
    HANDLE writer = CreateThread(nullptr, 0, write_summary_text, nullptr, 0, nullptr);
    if (writer != nullptr) {
        WaitForSingleObject(writer, wait_ms);
        CloseHandle(writer);
    }
}

// The summary and the records of a stop, all from the counts as they are now.
void write_stop_records() {
    write_summary(WRITE_WAIT_MS);
    if (hook_at_stop != nullptr) {
        hook_at_stop(stop_name.load());
    }
}

// Logging off and shutting down reach a console program as Ctrl-C does, and end it as
// surely: the summary and its record come first. A second stop ends the process at once.
BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
        event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT) {
        return FALSE;
    }
    if (stops_seen.fetch_add(1) > 0 || summary_by.load() == RUN_END) {
        end_process();
    }
    stop_name = event_name(event);
    const ULONGLONG asked_at = GetTickCount64();
    for (;;) {
        request_stop();
        const ULONGLONG waited = GetTickCount64() - asked_at;
        if (summary_by.load() != NOBODY || waited >= CYCLE_WAIT_MS + STOP_LOOK_MS ||
            (waited >= CYCLE_WAIT_MS && !in_cancellable_wait())) {
            break;
        }
        Sleep(ASK_AGAIN_MS);
    }
    if (claim_summary(HANDLER)) {
        // Stuck mid-cycle: the greeting under way has printed nothing, so it is not counted.
        uncount_open_cycle(link_stats);
        write_stop_records();
    } else if (summary_by.load() == CYCLE_AT_STOP) {
        Sleep(RECORDS_WAIT_MS);
    }
    end_process();
}

}  // namespace

void install_stop_summary(stop_hook also) {
    hook_at_stop = also;
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void take_stop() {
    if (claim_summary(CYCLE_AT_STOP)) {
        write_stop_records();
        end_process();
    }
    // The handler has taken the stop over, and ends the process.
    for (;;) {
        Sleep(INFINITE);
    }
}

void write_final_summary() {
    if (claim_summary(RUN_END)) {
        write_summary(INFINITE);
    }
}
