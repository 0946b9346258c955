#include "tests/e2e/tool_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <thread>

#include "link/link_protocol.h"
#include "serial/posix_tty.h"

namespace {

[[noreturn]] void fail(const std::string& what) {
    throw std::system_error(errno, std::generic_category(), what);
}

std::int64_t ms_left(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    return std::max<std::int64_t>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
}

}  // namespace

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tervalo-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) {
        fail("mkdtemp");
    }
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

PtyDevice::PtyDevice() {
    std::array<char, 256> name{};
    if (openpty(&master_, &tty_, name.data(), nullptr, nullptr) != 0) {
        fail("openpty");
    }
    if (set_raw_line(tty_) != 0) {
        fail("set the pty raw");
    }
    tty_path_ = name.data();
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(tty_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

PtyDevice::~PtyDevice() {
    hang_up();
}

void PtyDevice::hang_up() {
    for (int* fd : {&master_, &tty_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void PtyDevice::link_as(const std::filesystem::path& link) const {
    std::filesystem::create_symlink(tty_path_, link);
}

void PtyDevice::send(const byte_string& bytes) const {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            fail("write to pty");
        } else {
            pollfd p{master_, POLLOUT, 0};
            poll(&p, 1, 100);
        }
    }
}

byte_string PtyDevice::receive(std::size_t count, std::chrono::milliseconds wait) const {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    byte_string got;
    while (got.size() < count) {
        std::uint8_t buffer[4096];
        const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0) {
            got.insert(got.end(), buffer, buffer + n);
            continue;
        }
        const std::int64_t left = ms_left(deadline);
        if (left == 0) {
            break;
        }
        // EIO while nobody has the other end open: wait rather than spin.
        pollfd p{master_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, 50))) > 0 &&
            (p.revents & POLLHUP) != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    return got;
}

byte_string PtyDevice::receive_for(std::chrono::milliseconds wait) const {
    return receive(SIZE_MAX, wait);
}

ToolRun::ToolRun(const std::string& program, const std::vector<std::string>& args,
                 const std::filesystem::path& cwd)
    : output_path_(cwd / ("output-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)))),
      errors_path_(cwd /
                   ("output-errors-" + std::to_string(reinterpret_cast<std::uintptr_t>(this)))) {
    std::vector<std::string> argv_strings{program};
    argv_strings.insert(argv_strings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    argv.reserve(argv_strings.size() + 1);
    for (std::string& s : argv_strings) {
        argv.push_back(s.data());
    }
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        fail("fork");
    }
    if (pid_ == 0) {
        const int out = open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(errors_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0 || chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        // As a shell starts a program in the foreground, even when the tests themselves
        // run in the background with these ignored.
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGQUIT, SIG_DFL);
        // A new session: no controlling terminal the program could pick up by accident.
        setsid();
        execv(argv[0], argv.data());
        _exit(127);
    }
}

ToolRun::~ToolRun() {
    stop();
}

namespace {

std::string contents_of(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool wait_for_text(const std::filesystem::path& path, const std::string& text,
                   std::chrono::milliseconds wait, std::size_t from) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (contents_of(path).find(text, from) == std::string::npos) {
        if (ms_left(deadline) == 0) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace

std::string ToolRun::output() const {
    return contents_of(output_path_);
}

std::string ToolRun::errors() const {
    return contents_of(errors_path_);
}

bool ToolRun::wait_for_output(const std::string& text, std::chrono::milliseconds wait,
                              std::size_t from) const {
    return wait_for_text(output_path_, text, wait, from);
}

bool ToolRun::wait_for_errors(const std::string& text, std::chrono::milliseconds wait,
                              std::size_t from) const {
    return wait_for_text(errors_path_, text, wait, from);
}

int ToolRun::wait_exit(std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (running()) {
        if (ms_left(deadline) == 0) {
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

bool ToolRun::running() {
    if (pid_ < 0) {
        return false;
    }
    if (waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void ToolRun::stop() {
    if (!running()) {
        return;
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, &status_, 0);
    pid_ = -1;
}

std::vector<std::string> unprivileged(std::vector<std::string> args) {
    if (geteuid() == 0) {
        args.insert(args.begin(), {"--reuid=65534", "--regid=65534", "--clear-groups"});
    } else {
        args.erase(args.begin());
    }
    return args;
}

std::string unprivileged_program(const std::string& program) {
    return geteuid() == 0 ? "/usr/bin/setpriv" : program;
}

int ToolRun::end_signal() const {
    return pid_ < 0 && status_ != -1 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
}

long cpu_ticks_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces; the fields after it are plain numbers, user time
    // the 12th after the closing parenthesis and system time the 13th.
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string skipped;
    for (int i = 0; i < 11; ++i) {
        fields >> skipped;
    }
    long user = 0;
    long system = 0;
    fields >> user >> system;
    return user + system;
}

byte_string greeting_bytes() {
    return {0xAD, 0x00, 0x06, 0xA2, 'h', 'e', 'l', 'l', 'o', 0xC0};
}

byte_string frame_bytes(std::uint8_t type, const std::string& payload) {
    byte_string out(STUFFED_FRAME_MAX);
    const byte_string body(payload.begin(), payload.end());
    out.resize(encode_frame(type, body, out));
    return out;
}

void set_wrong_line(const std::string& tty_path) {
    const int tty = open(tty_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios line{};
    if (tty < 0 || tcgetattr(tty, &line) != 0) {
        fail("open " + tty_path);
    }
    cfsetispeed(&line, B9600);
    cfsetospeed(&line, B9600);
    line.c_cflag = (line.c_cflag & ~tcflag_t{CSIZE}) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    line.c_iflag |= IXON | IXOFF;
    const int set = tcsetattr(tty, TCSANOW, &line);
    close(tty);
    if (set != 0) {
        fail("tcsetattr " + tty_path);
    }
}

std::string line_differences(const std::string& tty_path) {
    const int tty = open(tty_path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios line{};
    if (tty < 0 || tcgetattr(tty, &line) != 0) {
        fail("open " + tty_path);
    }
    close(tty);
    std::string differences;
    if (cfgetispeed(&line) != B921600 || cfgetospeed(&line) != B921600) {
        differences += "speed is not 921600; ";
    }
    if ((line.c_cflag & CSIZE) != CS8) {
        differences += "not 8 data bits; ";
    }
    if ((line.c_cflag & PARENB) != 0) {
        differences += "parity on; ";
    }
    if ((line.c_cflag & CSTOPB) != 0) {
        differences += "two stop bits; ";
    }
    if ((line.c_cflag & CRTSCTS) != 0) {
        differences += "hardware flow control on; ";
    }
    if ((line.c_iflag & (IXON | IXOFF)) != 0) {
        differences += "software flow control on; ";
    }
    return differences;
}
