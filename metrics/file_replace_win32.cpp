#include <windows.h>

#include <algorithm>

#include "metrics/file_replace.h"

namespace {

// A collector holds the file only while it reads it, a few milliseconds. Windows (and
// Wine) will not rename over a file that anyone holds open, whatever it shares, so the
// rename is tried again for a while; longer, and it waits for the next cycle's write,
// never holding up the link by more than a tenth of its pause.
constexpr DWORD RENAME_RETRY_MS = 10;
constexpr ULONGLONG RENAME_TRY_FOR_MS = 100;

bool held_by_a_reader(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION ||
           error == ERROR_LOCK_VIOLATION;
}

// Returns 0 or the error of the last try.
DWORD rename_over(const char* temp_path, const char* path) {
    const ULONGLONG until = GetTickCount64() + RENAME_TRY_FOR_MS;
    for (;;) {
        // Returns nonzero upon success, 0 upon failure.
        if (MoveFileExA(temp_path, path, MOVEFILE_REPLACE_EXISTING) != 0) {
            return 0;
        }
        const DWORD error = GetLastError();
        if (!held_by_a_reader(error) || GetTickCount64() >= until) {
            return error;
        }
        Sleep(RENAME_RETRY_MS);
    }
}

}  // namespace

int replace_file(const char* path, const char* temp_path, std::span<const char> text) {
    // No sharing while it is written: nobody reads the temporary name anyway.
    const HANDLE file = CreateFileA(temp_path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return static_cast<int>(GetLastError());
    }
    DWORD error = 0;
    while (!text.empty()) {
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
        error = rename_over(temp_path, path);
    }
    if (error != 0) {
        DeleteFileA(temp_path);
    }
    return static_cast<int>(error);
}
