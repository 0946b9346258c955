#include <windows.h>

#include "run_log/log_file.h"

namespace {

HANDLE log_handle = INVALID_HANDLE_VALUE;

}  // namespace

bool log_file_open(const char* path, int* system_error) {
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at the end
    // of the file, as O_APPEND does. Shared for reading and appending, so the log can be
    // followed, or written by another run, while this one holds it; and for deleting, so
    // that log rotation can rename or remove it meanwhile, as on Linux.
    log_handle =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    *system_error = log_handle == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
    return log_handle != INVALID_HANDLE_VALUE;
}

bool log_file_write(const char* bytes, std::size_t size, int* system_error) {
    DWORD written = 0;
    // Returns FALSE on failure; GetLastError() says why.
    if (!WriteFile(log_handle, bytes, static_cast<DWORD>(size), &written, nullptr)) {
        *system_error = static_cast<int>(GetLastError());
        return false;
    }
    if (written != size) {
        *system_error = ERROR_DISK_FULL;
        return false;
    }
    return true;
}
