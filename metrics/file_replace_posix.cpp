#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "metrics/file_replace.h"

namespace {

// Returns 0 upon success, errno upon failure. Retries after a signal and after a short
// write.
int write_all(int fd, std::span<const char> text) {
    while (!text.empty()) {
        const ssize_t written = write(fd, text.data(), text.size());
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return errno;
        }
        text = text.subspan(static_cast<std::size_t>(written));
    }
    return 0;
}

}  // namespace

int replace_file(const char* path, const char* temp_path, std::span<const char> text) {
    // 0666 less the umask, as any program's output file: node_exporter reads it as
    // another user.
    const int fd = open(temp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    int error = write_all(fd, text);
    // close reports a write the file system could not complete (a full disk on NFS).
    if (close(fd) != 0 && error == 0 && errno != EINTR) {
        error = errno;
    }
    // Returns 0 upon success, -1 upon failure; replaces path atomically.
    if (error == 0 && std::rename(temp_path, path) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlink(temp_path);
    }
    return error;
}

// A rename on Linux never waits for readers.
bool last_replace_held_off() {
    return false;
}
