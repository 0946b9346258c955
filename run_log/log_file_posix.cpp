// A pipe's write end is kept non-blocking, and every write(2) runs with signals held
// off: a write then never stops part-way without the count of what it wrote being kept,
// so a stop's handler can finish an interrupted line before its own, and a stalled
// reader never holds a handler up longer than it allows.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <ctime>

#include "run_log/log_file.h"

namespace {

int log_fd = -1;
bool log_is_pipe = false;
// The line log_file_write is writing and how much of it is still to go, kept for a
// stop's handler; nothing is left once a line is done or given up.
std::atomic<const char*> pending_bytes{nullptr};
std::atomic<std::size_t> pending_size{0};

// One write(2) with every signal held off, so that it is never interrupted and what it
// wrote is counted before a handler can run. Returns what write returns.
ssize_t write_counted(const char* bytes, std::size_t size) {
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &before);
    const ssize_t written = write(log_fd, bytes, size);
    if (written > 0) {
        pending_bytes = bytes + written;
        pending_size = size - static_cast<std::size_t>(written);
    }
    const int saved_errno = errno;
    if (written < 0 && saved_errno == EPIPE) {
        // The FIFO's reader has gone: a failed write of the log, not the end of the tool
        // (standard output's reader going still ends it by SIGPIPE). Ignoring a pending
        // signal discards it.
        struct sigaction ignore {};
        struct sigaction kept {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &ignore, &kept);
        sigaction(SIGPIPE, &kept, nullptr);
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    errno = saved_errno;
    return written;
}

std::int64_t monotonic_ms() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1'000'000;
}

// Writes what is pending until it is all out; waits for a pipe's reader until
// deadline_ms (monotonic; -1: for ever). Returns 0, or errno (EAGAIN: out of time).
int write_pending(std::int64_t deadline_ms) {
    while (pending_size > 0) {
        const ssize_t written = write_counted(pending_bytes, pending_size);
        if (written >= 0 || errno == EINTR) {
            continue;
        }
        if (errno != EAGAIN) {
            return errno;
        }
        int wait = -1;
        if (deadline_ms >= 0) {
            const std::int64_t left = deadline_ms - monotonic_ms();
            if (left <= 0) {
                return EAGAIN;
            }
            wait = static_cast<int>(left);
        }
        pollfd ready{log_fd, POLLOUT, 0};
        poll(&ready, 1, wait);
    }
    return 0;
}

// Cuts a regular file back to start bytes, where a line that did not go out whole began.
void cut_back(off_t start) {
    if (log_is_pipe || start < 0) {
        return;
    }
    // Returns 0 upon success, -1 upon failure. Lines appended by another run since start
    // would go too; a run shares a file with another only by choice. If the cut fails
    // too, nothing more can be done.
    while (ftruncate(log_fd, start) != 0 && errno == EINTR) {
    }
}

}  // namespace

log_refusal log_file_open(const char* path, int* system_error) {
    *system_error = 0;
    // Looked at before it is opened: opening a device may already act on it (a serial
    // port's lines change when it opens).
    struct stat before {};
    if (stat(path, &before) == 0 && !S_ISREG(before.st_mode) && !S_ISFIFO(before.st_mode)) {
        return log_refusal::not_file_or_pipe;
    }
    // O_NONBLOCK: a FIFO without a reader is refused at once (ENXIO), not waited on.
    // O_APPEND: the kernel puts every write at the end, whoever else appends. A file is
    // opened for reading too, to see how it ends; a FIFO never, or it would be its own
    // reader.
    const int access = S_ISFIFO(before.st_mode) ? O_WRONLY : O_RDWR;
    const auto open_log = [path](int mode) {
        int fd = -1;
        do {
            fd = open(path, mode | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
        } while (fd < 0 && errno == EINTR);
        return fd;
    };
    log_fd = open_log(access);
    if (log_fd < 0 && errno == EACCES && access == O_RDWR) {
        log_fd = open_log(O_WRONLY);  // a file we may append to but not read
    }
    if (log_fd < 0) {
        *system_error = errno;
        return errno == ENXIO ? log_refusal::no_reader : log_refusal::system_error;
    }
    struct stat opened {};
    fstat(log_fd, &opened);
    if (!S_ISREG(opened.st_mode) && !S_ISFIFO(opened.st_mode)) {
        close(log_fd);  // replaced by something else since the look
        log_fd = -1;
        return log_refusal::not_file_or_pipe;
    }
    log_is_pipe = S_ISFIFO(opened.st_mode);
    return log_refusal::none;
}

bool log_file_end_line(int* system_error) {
    struct stat file {};
    if (log_is_pipe || fstat(log_fd, &file) != 0 || file.st_size == 0) {
        return true;
    }
    char last = '\n';
    // Returns the count read; -1 on a file opened write-only, which is left as it is.
    if (pread(log_fd, &last, 1, file.st_size - 1) != 1 || last == '\n') {
        return true;
    }
    return log_file_write("\n", 1, system_error);
}

bool log_file_write(const char* bytes, std::size_t size, int* system_error) {
    const off_t start = log_is_pipe ? 0 : lseek(log_fd, 0, SEEK_END);
    pending_bytes = bytes;
    pending_size = size;
    const int error = write_pending(-1);
    pending_size = 0;
    if (error == 0) {
        return true;
    }
    *system_error = error;
    cut_back(start);
    return false;
}

bool log_file_write_now(const char* bytes, std::size_t size, int wait_ms) {
    if (log_fd < 0 || (log_is_pipe && size > PIPE_BUF)) {
        return false;
    }
    const std::int64_t deadline = monotonic_ms() + wait_ms;
    // A line cut off by this stop is finished first, or nothing may follow it.
    if (write_pending(deadline) != 0) {
        return false;
    }
    const off_t start = log_is_pipe ? 0 : lseek(log_fd, 0, SEEK_END);
    for (;;) {
        // A pipe takes up to PIPE_BUF bytes of a non-blocking write all at once or not
        // at all; a regular file all, or what the disk had room for.
        const ssize_t written = write(log_fd, bytes, size);
        if (written == static_cast<ssize_t>(size)) {
            return true;
        }
        if (written >= 0 || (errno != EAGAIN && errno != EINTR)) {
            break;
        }
        const std::int64_t left = deadline - monotonic_ms();
        if (left <= 0) {
            return false;
        }
        pollfd ready{log_fd, POLLOUT, 0};
        poll(&ready, 1, static_cast<int>(left));
    }
    cut_back(start);
    return false;
}

bool log_file_is(const char* path) {
    struct stat named {};
    struct stat opened {};
    return log_fd >= 0 && stat(path, &named) == 0 && fstat(log_fd, &opened) == 0 &&
           named.st_dev == opened.st_dev && named.st_ino == opened.st_ino;
}

std::uint64_t log_process_id() {
    return static_cast<std::uint64_t>(getpid());
}
