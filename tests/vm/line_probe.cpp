// Runs inside the test guest: reports how the driver holds a port that another process
// has open, through that process's own descriptor (pidfd_getfd), since opening the
// port again would raise DTR and RTS by itself.
//
// usage: line_probe PID DEVICE
// prints: speed=921600 data=8 parity=N stop=1 flow=none raw=yes dtr=off rts=off
#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

long speed_of(speed_t code) {
    struct entry {
        speed_t code;
        long baud;
    };
    constexpr entry SPEEDS[] = {{B1200, 1200},     {B2400, 2400},     {B4800, 4800},
                                {B9600, 9600},     {B19200, 19200},   {B38400, 38400},
                                {B57600, 57600},   {B115200, 115200}, {B230400, 230400},
                                {B460800, 460800}, {B921600, 921600}};
    for (const entry& e : SPEEDS) {
        if (e.code == code) {
            return e.baud;
        }
    }
    return -1;
}

// The descriptor number under which pid holds device, or -1.
int fd_of(const std::string& pid, const std::string& device) {
    const std::string folder = "/proc/" + pid + "/fd";
    DIR* fds = opendir(folder.c_str());
    int found = -1;
    while (fds != nullptr && found < 0) {
        // One thread, and readdir_r is deprecated.
        // cppcheck-suppress readdirCalled
        const dirent* entry = readdir(fds);
        if (entry == nullptr) {
            break;
        }
        char target[PATH_MAX] = {};
        const std::string link = folder + "/" + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0 && device == target) {
            found = std::atoi(entry->d_name);
        }
    }
    if (fds != nullptr) {
        closedir(fds);
    }
    return found;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: line_probe PID DEVICE\n");
        return 2;
    }
    const int target = fd_of(argv[1], argv[2]);
    const long pidfd = syscall(SYS_pidfd_open, std::atoi(argv[1]), 0);
    const long fd = target < 0 || pidfd < 0 ? -1 : syscall(SYS_pidfd_getfd, pidfd, target, 0);
    if (fd < 0 || fd > INT_MAX) {
        std::printf("not-open\n");
        return 1;
    }
    termios line{};
    int modem = 0;
    if (tcgetattr(static_cast<int>(fd), &line) != 0 ||
        ioctl(static_cast<int>(fd), TIOCMGET, &modem) != 0) {
        std::printf("unreadable: %s\n", std::strerror(errno));
        return 1;
    }
    const tcflag_t size = line.c_cflag & CSIZE;
    const bool raw = (line.c_lflag & (ICANON | ECHO | ISIG | IEXTEN)) == 0 &&
                     (line.c_oflag & OPOST) == 0 &&
                     (line.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF)) == 0;
    const char* flow = (line.c_cflag & CRTSCTS) != 0          ? "rts-cts"
                       : (line.c_iflag & (IXON | IXOFF)) != 0 ? "xon-xoff"
                                                              : "none";
    std::printf("speed=%ld data=%d parity=%c stop=%d flow=%s raw=%s dtr=%s rts=%s\n",
                speed_of(cfgetospeed(&line)),
                size == CS8   ? 8
                : size == CS7 ? 7
                : size == CS6 ? 6
                              : 5,
                (line.c_cflag & PARENB) == 0   ? 'N'
                : (line.c_cflag & PARODD) != 0 ? 'O'
                                               : 'E',
                (line.c_cflag & CSTOPB) != 0 ? 2 : 1, flow, raw ? "yes" : "no",
                (modem & TIOCM_DTR) != 0 ? "on" : "off", (modem & TIOCM_RTS) != 0 ? "on" : "off");
    return 0;
}
