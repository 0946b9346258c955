#include <windows.h>

#include "run_log/log_file.h"

namespace {

HANDLE log_handle = INVALID_HANDLE_VALUE;
bool log_is_pipe = false;

// Appends size bytes; returns 0 or the system's error code.
DWORD write_whole(const char* bytes, std::size_t size) {
    while (size > 0) {
        DWORD written = 0;
        // Returns FALSE on failure; GetLastError() says why.
        if (!WriteFile(log_handle, bytes, static_cast<DWORD>(size), &written, nullptr)) {
            return GetLastError();
        }
        if (written == 0) {
            return ERROR_DISK_FULL;
        }
        bytes += written;
        size -= written;
    }
    return 0;
}

// Cuts the file back to size bytes after a line that did not go out whole.
void cut_back(LARGE_INTEGER size) {
    if (!log_is_pipe && size.QuadPart >= 0) {
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile = size;
        SetFileInformationByHandle(log_handle, FileEndOfFileInfo, &end, sizeof end);
    }
}

LARGE_INTEGER file_size() {
    LARGE_INTEGER size{};
    size.QuadPart = -1;
    if (!log_is_pipe) {
        GetFileSizeEx(log_handle, &size);
    }
    return size;
}

}  // namespace

log_refusal log_file_open(const char* path, int* system_error) {
    *system_error = 0;
    // FILE_APPEND_DATA without FILE_WRITE_DATA: the system puts every write at the end
    // of the file, as O_APPEND does; reading, to see how the file ends; FILE_WRITE_ATTRIBUTES
    // for the end of file a failed line is cut back to. Shared for reading and appending,
    // so the log can be followed, or written by another run, while this one holds it; and
    // for deleting, so that log rotation can rename or remove it meanwhile, as on Linux.
    log_handle = CreateFileA(path, FILE_APPEND_DATA | FILE_READ_DATA | FILE_WRITE_ATTRIBUTES,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log_handle == INVALID_HANDLE_VALUE) {
        *system_error = static_cast<int>(GetLastError());
        return log_refusal::system_error;
    }
    const DWORD type = GetFileType(log_handle);
    if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) {
        CloseHandle(log_handle);
        log_handle = INVALID_HANDLE_VALUE;
        return log_refusal::not_file_or_pipe;
    }
    log_is_pipe = type == FILE_TYPE_PIPE;
    return log_refusal::none;
}

bool log_file_end_line(int* system_error) {
    LARGE_INTEGER size = file_size();
    if (size.QuadPart <= 0) {
        return true;
    }
    char last = '\n';
    DWORD read = 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(size.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((size.QuadPart - 1) >> 32);
    if (!ReadFile(log_handle, &last, 1, &read, &at) || read != 1 || last == '\n') {
        return true;
    }
    return log_file_write("\n", 1, system_error);
}

bool log_file_write(const char* bytes, std::size_t size, int* system_error) {
    const LARGE_INTEGER start = file_size();
    const DWORD error = write_whole(bytes, size);
    if (error == 0) {
        return true;
    }
    *system_error = static_cast<int>(error);
    cut_back(start);
    return false;
}

bool log_file_write_now(const char* bytes, std::size_t size, int) {
    // The stop's handler runs on a thread of its own, not inside a write of the cycle's
    // thread, so there is no line of this thread's to finish; this one goes out whole or
    // is cut back.
    int error = 0;
    return log_handle != INVALID_HANDLE_VALUE && log_file_write(bytes, size, &error);
}

bool log_file_is(const char* path) {
    const HANDLE named =
        CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (named == INVALID_HANDLE_VALUE || log_handle == INVALID_HANDLE_VALUE) {
        if (named != INVALID_HANDLE_VALUE) {
            CloseHandle(named);
        }
        return false;
    }
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = GetFileInformationByHandle(named, &a) &&
                      GetFileInformationByHandle(log_handle, &b) &&
                      a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
                      a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
    CloseHandle(named);
    return same;
}

std::uint64_t log_process_id() {
    return GetCurrentProcessId();
}
