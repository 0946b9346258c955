// The tool's standard-error lines about its port, each one line that starts with
// "tervalo: " and the port name as the user typed it and ends in "\n". Every text is
// here; the backends only fill in records.
#pragma once

#include <array>
#include <cstddef>
#include <span>

#include "serial/serial_port.h"

// Room for a line: a name and a path of up to DEVICE_PATH_SIZE each, and the words.
inline constexpr std::size_t MESSAGE_SIZE = 3 * DEVICE_PATH_SIZE;
using message_line = std::array<char, MESSAGE_SIZE>;

// What holder is to the device: "in use by tervalo (pid 4242)", "in use as the terminal
// of bash (pid 4242)", "the system console (ttyS0 in /proc/consoles)"; empty for none.
inline constexpr std::size_t HOLDER_TEXT_SIZE = 160;
void holder_text(const port_holder& holder, std::span<char, HOLDER_TEXT_SIZE> out);

// Why the open failed (report.failure must not be OPEN_OK).
void open_failure_message(const char* name, const port_report& report, message_line& out);

// What the driver kept when it is not the line asked for, wanted. Returns false,
// leaving out untouched, when line is as asked.
bool line_kept_message(const char* name, const line_state& line, const line_state& wanted,
                       message_line& out);

// With --wait: why the port could not be opened at the start, and that it is waited for.
void waiting_message(const char* name, const port_report& report, message_line& out);
// With --wait: why a COM name's built-in device could not be had, and that the name's
// link in the working directory is waited for instead.
void waiting_for_link_message(const char* name, const port_report& report, message_line& out);

// The device a COM name reached through the built-in mapping (no entry of that name in
// the working directory), said once: the name alone does not tell it.
void builtin_port_message(const char* name, const char* path, message_line& out);

// The port waited for since the start is there.
void port_found_message(const char* name, const char* path, message_line& out);

void port_lost_message(const char* name, int system_error, message_line& out);
void port_reopened_message(const char* name, const char* path, message_line& out);

// What a port name is on this platform, for the line that refuses a name. Each platform
// supplies it.
extern const char* const PORT_NAME_HELP;

// The system's own text for an error code (strerror, or the Windows message), one line
// without a final full stop. Each platform supplies it.
void system_error_text(int system_error, std::array<char, 256>& out);
