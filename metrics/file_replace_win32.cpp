#include <windows.h>

#include <algorithm>

#include "metrics/file_replace.h"

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
    // Returns nonzero upon success, 0 upon failure. Replaces path in one step; a reader
    // that holds path open without FILE_SHARE_DELETE makes it fail, and the next write
    // tries again.
    if (error == 0 && MoveFileExA(temp_path, path, MOVEFILE_REPLACE_EXISTING) == 0) {
        error = GetLastError();
    }
    if (error != 0) {
        DeleteFileA(temp_path);
    }
    return static_cast<int>(error);
}
