// In the test guest: how the driver holds a port that another process has open, read
// through that process's own descriptor (pidfd_getfd), since opening the port again would
// raise DTR and RTS. The rate is the driver's own (TCGETS2), off the table too.
// usage: line_probe PID DEVICE
// prints: speed=921600 data=8 parity=N stop=1 flow=none raw=yes dtr=off rts=off
#include <asm/termbits.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv) {
    long target = -1;
    std::error_code error;
    const std::string pid = argc == 3 ? argv[1] : "0";
    for (const auto& entry : std::filesystem::directory_iterator("/proc/" + pid + "/fd", error)) {
        target = std::filesystem::read_symlink(entry.path(), error) == argv[2]
                     ? std::atol(entry.path().filename().c_str())
                     : target;
    }
    const long pidfd = syscall(SYS_pidfd_open, std::atoi(pid.c_str()), 0);
    const auto fd = static_cast<int>(pidfd < 0 ? -1 : syscall(SYS_pidfd_getfd, pidfd, target, 0));
    termios2 line{};
    int modem = 0;
    if (fd < 0 || ioctl(fd, TCGETS2, &line) != 0 || ioctl(fd, TIOCMGET, &modem) != 0) {
        std::printf("usage: line_probe PID DEVICE (the process holding DEVICE open)\n");
        return 1;
    }
    const tcflag_t cooked = (line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) |
                            (line.c_oflag & OPOST) |
                            (line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF));
    const tcflag_t c = line.c_cflag;
    std::printf("speed=%u data=%u parity=%c stop=%d flow=%s raw=%s dtr=%s rts=%s\n", line.c_ospeed,
                5 + (c & CSIZE) / CS6,
                (c & PARENB) == 0   ? 'N'
                : (c & PARODD) != 0 ? 'O'
                                    : 'E',
                (c & CSTOPB) != 0 ? 2 : 1,
                (c & CRTSCTS) != 0                     ? "rts-cts"
                : (line.c_iflag & (IXON | IXOFF)) != 0 ? "xon-xoff"
                                                       : "none",
                cooked == 0 ? "yes" : "no", (modem & TIOCM_DTR) != 0 ? "on" : "off",
                (modem & TIOCM_RTS) != 0 ? "on" : "off");
    return 0;
}
