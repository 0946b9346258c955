// The lines tervalo prints on standard output, as printf formats for print_line. Scripts
// parse them byte for byte, so they are written here once: the tool prints them from
// here, and the simulator's record, the fuzzers, the benchmarks and the tests build what
// they expect from here.
#pragma once

// No port name given; these two lines end in a bare line feed.
inline constexpr char USAGE_TEXT[] = "usage: tervalo com_port\nexample: tervalo COM1\n";
inline constexpr char OPEN_FAILED_LINE[] = "[error]:open serial port failed\r\n";
inline constexpr char BANNER_LINE[] = "[info]:tervalo start...\r\n";

// The end of every cycle: the payload (raw, up to its first zero byte), or none.
inline constexpr char RESPONSE_FORMAT[] = "[info]:response: %s\r\n";
inline constexpr char NO_RESPONSE_LINE[] = "[warn]:no response\r\n";

// The frame reader's warnings: a declared length below 2; a check byte that does not
// match (computed, then received, in decimal); an escape byte followed by a byte that
// is not a valid escape.
inline constexpr char LENGTH_ERROR_FORMAT[] = "[warn]:[read_packet]:len error %d\r\n";
inline constexpr char CHECK_ERROR_FORMAT[] = "[warn]:[read_packet]: crc error %d %d\r\n";
inline constexpr char ESCAPE_ERROR_FORMAT[] = "[warn]:esc char error 0x%02x\r\n";
