// Text that comes from outside the tool (names of processes, ports and devices, paths,
// names read from sysfs or the registry, the command line) made safe before a terminal
// shows it: another program's name must not set the window title, clear the screen or
// start a line of its own. Control characters and bytes that are not valid UTF-8 are
// written as the four characters \xHH (HH the byte in lower-case hex); the metrics
// labels write bytes that are not UTF-8 the same way.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

// The length of the well-formed UTF-8 sequence at the start of bytes (not empty), or 0
// when none starts there (a stray continuation byte, an overlong form, a surrogate, a
// cut one).
std::size_t utf8_sequence(std::string_view bytes);

// The three characters "xHH" that follow a backslash in the escape of byte.
std::array<char, 3> hex_escape(unsigned char byte);

// Writes raw into out with control characters (C0, DEL and C1) and bytes that are not
// valid UTF-8 as \xHH, everything else as it is; what does not fit is left out, never a
// part of a character or of an escape. Returns the size written.
std::size_t put_outside_text(std::string_view raw, std::span<char> out);

// A line the tool formed, with outside text in it, made safe into out: all of it as
// put_outside_text writes it but for one final line feed, which stays. Cut to fit, and
// zero-terminated; returns out.data().
const char* safe_line(std::string_view line, std::span<char> out);

// Formats a line as printf does, makes it safe (safe_line) and writes it to standard
// error at once.
void print_error(const char* format, ...) __attribute__((format(printf, 1, 2)));
