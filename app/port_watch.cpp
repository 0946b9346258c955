#include "app/port_watch.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "metrics/metrics_file.h"
#include "run_log/run_log.h"
#include "serial/port_messages.h"
#include "serial/serial_port.h"

namespace {

// Static: the report holds a device path and the line is formed beside it, 4 KiB
// together, and the tool keeps large records off its stack.
port_report report;
message_line line;
// The way the first open went; every reopen goes that way only.
port_route first_route = ROUTE_ANY;
// The line open_first asked for; every reopen asks for it again.
line_state wanted = WANTED_LINE;
// A reopen refused because a session holds the terminal is said once per absence.
bool told_held = false;

void print_diagnostic() {
    std::fputs(line.data(), stderr);
    std::fflush(stderr);
}

void tell_line_kept(const char* name) {
    if (report.line_known && line_kept_message(name, report.line, wanted, line)) {
        print_diagnostic();
    }
}

}  // namespace

bool open_first(const char* name, std::uint32_t baud) {
    wanted = line_at(baud);
    port_handle = open_port(name, &report, ROUTE_ANY, wanted);
    if (port_handle == PORT_CLOSED) {
        open_failure_message(name, report, line);
        print_diagnostic();
        return false;
    }
    first_route = report.route;
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

const char* opened_path() {
    return report.path.data();
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
        port_reopened_message(name, report.path.data(), line);
        print_diagnostic();
        log_port_reopened(report.path.data());
        metrics_port_up();
        tell_line_kept(name);
    } else if (report.failure == OPEN_TERMINAL_HELD && !told_held) {
        // Someone's shell or login prompt has the name now; the port stays away.
        open_failure_message(name, report, line);
        print_diagnostic();
        told_held = true;
    }
}
