// The port's life around the cycle: the first open, and a reopen after the device has
// gone. Everything said about it goes to standard error, one line per event, stamped as
// standard output is; standard output carries only the cycle's lines.
#pragma once

#include <cstdint>

// Opens the port named name into port_handle at baud and returns true; on failure prints
// why and returns false. With wait, a port that is missing is waited for instead: said
// so, and true returned with the port still closed, for reopen_if_lost to open; a COM
// name whose built-in device is missing or refused waits for its link alone. Says
// which device a COM name reached when it went through the built-in mapping, and whether
// the driver kept another line than the one asked for.
bool open_first(const char* name, std::uint32_t baud, bool wait);

// Why the first open failed, as its standard-error line says, without the tool's and
// the port's names: "no such device (/dev/ttyUSB0)".
const char* open_failure_reason(const char* name);

// Why the last try to open a port waited for failed, as open_failure_reason says it.
const char* never_opened_reason(const char* name);

// The device path the last successful open reached; nullptr while none has succeeded
// (a port waited for).
const char* opened_path();

// Called at the start of every cycle. Reports a port lost since the last call; while
// the port is closed, opens the same name again, exactly as the first open did (at its baud) and
// only the way its name went then, and says so when that succeeds. Failed attempts print nothing,
// but for a device that the console is or another program holds, said once while the port is away.
// Both events go to the run log too.
void reopen_if_lost(const char* name);
