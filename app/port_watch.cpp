#include "app/port_watch.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "console/console.h"
#include "console/outside_text.h"
#include "metrics/metrics_file.h"
#include "run_log/run_log.h"
#include "serial/port_messages.h"
#include "serial/serial_port.h"

namespace {

// Static: the report holds a device path and the line is formed beside it, 4 KiB
// together, and the tool keeps large records off its stack.
port_report report;
message_line line;
// The way the first open went; every reopen goes that way only. ROUTE_ANY while a port
// waited for has not been opened yet.
port_route first_route = ROUTE_ANY;
// The line open_first asked for; every reopen asks for it again.
line_state wanted = WANTED_LINE;
bool opened_once = false;
// A reopen refused because of a holder is said once per absence.
bool told_held = false;

void print_diagnostic() {
    // Names from outside (the port's, a device's, a holder's) made safe for the terminal.
    static std::array<char, 4 * MESSAGE_SIZE> shown;
    print_event(safe_line(line.data(), shown));
}

// After every open: the reader's pauses follow the line's speed, as the driver holds it.
void tell_line_kept(const char* name) {
    set_read_speed(report.line_known ? report.line.baud : wanted.baud);
    if (report.line_known && line_kept_message(name, report.line, wanted, line)) {
        print_diagnostic();
    }
}

// The first successful open, at the start or later for a port waited for.
void tell_opened(const char* name, bool at_start) {
    first_route = report.route;
    opened_once = true;
    if (report.route == ROUTE_BUILTIN) {
        builtin_port_message(name, report.path.data(), line);
        print_diagnostic();
    } else if (!at_start) {
        port_found_message(name, report.path.data(), line);
        print_diagnostic();
    }
}

}  // namespace

bool open_first(const char* name, std::uint32_t baud, bool wait) {
    wanted = line_at(baud);
    port_handle = open_port(name, &report, ROUTE_ANY, wanted);
    if (port_handle == PORT_CLOSED) {
        // A COM name whose built-in device is not there or not to be had (the console, a
        // session's terminal) waits for its link in the working directory, and for
        // nothing else: a board's link appears when the board does.
        const bool builtin_refused = wait && report.route == ROUTE_BUILTIN;
        const bool waited_for = builtin_refused || (wait && report.failure == OPEN_NO_DEVICE);
        if (builtin_refused) {
            first_route = ROUTE_ENTRY;
            waiting_for_link_message(name, report, line);
        } else if (waited_for) {
            waiting_message(name, report, line);
        } else {
            open_failure_message(name, report, line);
        }
        print_diagnostic();
        return waited_for;
    }
    tell_opened(name, true);
    tell_line_kept(name);
    return true;
}

const char* open_failure_reason(const char* name) {
    const std::string_view said(line.data());
    const std::string_view start = "tervalo: ";
    const std::size_t skip = start.size() + std::strlen(name) + 2;
    if (!said.starts_with(start) || said.size() <= skip) {
        return line.data();
    }
    if (said.ends_with('\n')) {
        line[said.size() - 1] = '\0';
    }
    return line.data() + skip;
}

const char* never_opened_reason(const char* name) {
    open_failure_message(name, report, line);
    return open_failure_reason(name);
}

const char* opened_path() {
    return opened_once ? report.path.data() : nullptr;
}

void reopen_if_lost(const char* name) {
    if (port_lost_error != 0) {
        port_lost_message(name, port_lost_error, line);
        print_diagnostic();
        log_port_lost(port_lost_error);
        metrics_port_lost();
        port_lost_error = 0;
        told_held = false;
    }
    if (port_handle != PORT_CLOSED) {
        return;
    }
    port_handle = open_port(name, &report, first_route, wanted);
    if (port_handle != PORT_CLOSED) {
        if (opened_once) {
            port_reopened_message(name, report.path.data(), line);
            print_diagnostic();
        } else {
            tell_opened(name, false);
        }
        log_port_reopened(report.path.data());
        metrics_port_up();
        tell_line_kept(name);
    } else if (report.holder.kind != HOLDER_NONE && !told_held) {
        // Someone's shell, the console or another program has the name now; the port
        // stays away.
        open_failure_message(name, report, line);
        print_diagnostic();
        told_held = true;
    }
}
