#include <windows.h>
// After windows.h: RtlGenRandom, the system's random bytes without a crypto provider.
#include <ntsecapi.h>

#include <algorithm>

#include "console/wide_path_win32.h"
#include "metrics/file_replace.h"

namespace {

// A collector holds the file only while it reads it, a few milliseconds. Windows (and
// Wine) will not rename over a file that anyone holds open, whatever it shares, so the
// rename is tried again for a while; longer, and it waits for the next cycle's write,
// never holding up the link by more than a tenth of its pause.
constexpr DWORD RENAME_RETRY_MS = 10;
constexpr ULONGLONG RENAME_TRY_FOR_MS = 100;
bool held_off = false;

bool held_by_a_reader(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

// Returns 0 or the error of the last try.
DWORD rename_over(const wchar_t* temp_path, const wchar_t* path) {
    const ULONGLONG until = GetTickCount64() + RENAME_TRY_FOR_MS;
    for (;;) {
        // Returns nonzero upon success, 0 upon failure.
        if (MoveFileExW(temp_path, path, MOVEFILE_REPLACE_EXISTING) != 0) {
            return 0;
        }
        const DWORD error = GetLastError();
        if (!held_by_a_reader(error) || GetTickCount64() >= until) {
            held_off = held_by_a_reader(error);
            return error;
        }
        Sleep(RENAME_RETRY_MS);
    }
}

}  // namespace

int replace_file(const char* path, const char* temp_path, std::span<const char> text) {
    held_off = false;
    const wide_path_text wide_temp = wide_path(temp_path);
    const wide_path_text wide = wide_path(path);
    if (!wide_temp.whole || !wide.whole) {
        return ERROR_FILENAME_EXCED_RANGE;
    }
    // No sharing while it is written: nobody reads the temporary name anyway. Created new,
    // never opening what is there, and a link there is the link itself, not its target.
    const HANDLE file = CreateFileW(wide_temp.text.data(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    DWORD error = GetFileType(file) == FILE_TYPE_DISK ? 0 : ERROR_INVALID_FUNCTION;
    while (error == 0 && !text.empty()) {
        DWORD written = 0;
        const auto chunk = static_cast<DWORD>(std::min<std::size_t>(text.size(), 1U << 30));
        // Returns nonzero upon success, 0 upon failure.
        if (WriteFile(file, text.data(), chunk, &written, nullptr) == 0) {
            error = GetLastError();
            break;
        }
        if (written == 0) {
            error = ERROR_WRITE_FAULT;
            break;
        }
        text = text.subspan(written);
    }
    CloseHandle(file);
    if (error == 0) {
        error = rename_over(wide_temp.text.data(), wide.text.data());
    }
    if (error != 0) {
        DeleteFileW(wide_temp.text.data());
    }
    return static_cast<int>(error);
}

std::uint64_t unpredictable_bits() {
    std::uint64_t bits = 0;
    // Returns TRUE upon success; the clock stands in should it ever fail.
    if (RtlGenRandom(&bits, sizeof bits) == FALSE) {
        bits = GetTickCount64() * 0x9E3779B97F4A7C15U ^ GetCurrentProcessId();
    }
    return bits;
}

std::uint64_t this_process_id() {
    return GetCurrentProcessId();
}

bool process_gone(std::uint64_t pid) {
    // Returns the process's handle, or nullptr: none of that id (ERROR_INVALID_PARAMETER),
    // or one this user may not look at, which is alive.
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) {
        return GetLastError() == ERROR_INVALID_PARAMETER;
    }
    DWORD status = 0;
    const bool ended = GetExitCodeProcess(process, &status) != 0 && status != STILL_ACTIVE;
    CloseHandle(process);
    return ended;
}

bool last_replace_held_off() {
    return held_off;
}
