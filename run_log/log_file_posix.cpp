#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "run_log/log_file.h"

namespace {

int log_fd = -1;

}  // namespace

bool log_file_open(const char* path, int* system_error) {
    // O_APPEND: the kernel puts every write at the end, whoever else appends, so lines
    // from several runs interleave whole.
    do {
        log_fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
    } while (log_fd < 0 && errno == EINTR);
    *system_error = log_fd < 0 ? errno : 0;
    return log_fd >= 0;
}

bool log_file_write(const char* bytes, std::size_t size, int* system_error) {
    // Returns the count written, or -1 with errno set; EINTR means nothing was written,
    // so the line may be written again whole.
    ssize_t written = 0;
    do {
        written = write(log_fd, bytes, size);
    } while (written < 0 && errno == EINTR);
    if (written < 0) {
        *system_error = errno;
        return false;
    }
    if (static_cast<std::size_t>(written) != size) {
        *system_error = ENOSPC;
        return false;
    }
    return true;
}
