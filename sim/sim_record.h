// The record a test reads: one tab-separated line per answered greeting, saying what
// the simulator sent and what tervalo must print for that cycle.
//
//   cycle  fault  bytes-sent  expected  first-bytes
//
// expected is the exact output of the cycle, escaped, or "*" when the frame rules
// leave it open; first-bytes is the start of what was sent, in hex. The first line is
// a header starting with '#'.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

// Backslash escapes for \\, \t, \r, \n and \xHH for any other byte outside 0x20-0x7e,
// so that a field never holds a tab or a line break.
std::string escape_bytes(std::string_view bytes);
// The reverse; nullopt for a malformed escape.
std::optional<std::string> unescape_bytes(std::string_view text);

std::string record_header();
std::string record_line(std::uint64_t cycle, std::string_view fault, std::size_t bytes_sent,
                        const std::optional<std::string>& expected,
                        std::span<const std::uint8_t> first_bytes);
