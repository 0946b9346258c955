#include <windows.h>

#include "console/wide_path_win32.h"
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

// The line a stop hands to a writer thread.
struct {
    const char* bytes;
    std::size_t size;
    bool written;
} pending_write{};

DWORD WINAPI write_pending(void*) {
    pending_write.written = write_whole(pending_write.bytes, pending_write.size) == 0;
    return 0;
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
    const wide_path_text wide = wide_path(path);
    if (!wide.whole) {
        *system_error = ERROR_FILENAME_EXCED_RANGE;
        return log_refusal::system_error;
    }
    log_handle =
        CreateFileW(wide.text.data(), FILE_APPEND_DATA | FILE_READ_DATA | FILE_WRITE_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log_handle == INVALID_HANDLE_VALUE) {
        *system_error = static_cast<int>(GetLastError());
        // Windows refuses to open a folder as a file with access denied; it is refused as
        // what it is, as on Linux.
        const DWORD attributes = GetFileAttributesW(wide.text.data());
        const bool folder =
            attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        return folder ? log_refusal::not_file_or_pipe : log_refusal::system_error;
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

bool log_file_write_now(const char* bytes, std::size_t size, int wait_ms) {
    // A stop writes this from the cycle's thread at its boundary, or from the control
    // handler's when the cycle is stuck; either way no line of this thread's is half
    // written, and this one goes out whole or is cut back.
    if (log_handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    int error = 0;
    if (!log_is_pipe) {
        return log_file_write(bytes, size, &error);
    }
    // Windows cannot ask a pipe whether it has room, so a thread of its own writes and is
    // given wait_ms; a reader that has stalled keeps the line, which the end of the
    // process takes back whole (a pipe takes a write of this size all at once or not).
    pending_write = {bytes, size, false};
    const HANDLE writer = CreateThread(nullptr, 0, write_pending, nullptr, 0, nullptr);
    if (writer == nullptr) {
        return false;
    }
    const bool done = WaitForSingleObject(writer, static_cast<DWORD>(wait_ms)) == WAIT_OBJECT_0;
    if (!done) {
        CancelSynchronousIo(writer);
    }
    CloseHandle(writer);
    return done && pending_write.written;
}

bool log_file_is(const char* path) {
    const HANDLE named = CreateFileW(wide_path(path).text.data(), 0,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
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
