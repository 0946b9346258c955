#include "serial/posix_write.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "timing/clock.h"

int write_within(int fd, const std::uint8_t* bytes, std::size_t count, std::int64_t deadline) {
    std::size_t written = 0;
    while (written < count) {
        const ssize_t n = write(fd, bytes + written, count - written);
        if (n > 0) {
            written += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return LINK_FAILED;
        }
        const std::int64_t left = deadline - now_ms();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return LINK_FAILED;
        }
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, static_cast<int>(left)) < 0 && errno != EINTR) {
            return LINK_FAILED;
        }
    }
    return LINK_OK;
}
