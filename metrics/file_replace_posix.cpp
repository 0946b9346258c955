#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

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
    // another user. O_EXCL with O_CREAT opens nothing that exists, a link included;
    // O_NOFOLLOW and O_NONBLOCK say so twice, should the name be taken in between.
    const int fd =
        open(temp_path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) {
        return errno;
    }
    struct stat made {};
    int error = fstat(fd, &made) != 0 ? errno : S_ISREG(made.st_mode) ? 0 : EINVAL;
    if (error == 0) {
        error = write_all(fd, text);
    }
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

std::uint64_t unpredictable_bits() {
    std::uint64_t bits = 0;
    // Returns the number of bytes filled, or -1. Only before the kernel's pool is ready,
    // early at boot, does it refuse without waiting; the clock then stands in.
    if (getrandom(&bits, sizeof bits, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bits)) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        bits ^= static_cast<std::uint64_t>(now.tv_nsec) * 0x9E3779B97F4A7C15U ^
                static_cast<std::uint64_t>(now.tv_sec);
    }
    return bits;
}

std::uint64_t this_process_id() {
    return static_cast<std::uint64_t>(getpid());
}

bool process_gone(std::uint64_t pid) {
    // Returns 0 when the process exists and may be signalled, -1 otherwise; EPERM means
    // it exists as another user's.
    return pid > 0 && pid <= INT32_MAX && kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

// A rename on Linux never waits for readers.
bool last_replace_held_off() {
    return false;
}
