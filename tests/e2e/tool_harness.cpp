#include "tests/e2e/tool_harness.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <fstream>
#include <system_error>
#include <thread>

#include "link/link_protocol.h"
#include "serial/posix_tty.h"

namespace {

void check(bool done, const std::string& what) {
    if (!done) {
        throw std::system_error(errno, std::generic_category(), what);
    }
}

// Polls until done() holds or the wait runs out; whether it held.
template <typename Done>
bool within(std::chrono::milliseconds wait, Done done) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (; !done(); std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::string contents_of(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

scratch_dir::scratch_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tervalo-test-XXXXXX").string();
    check(mkdtemp(pattern.data()) != nullptr, "mkdtemp");
    path_ = pattern;
}

scratch_dir::~scratch_dir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

pty_device::pty_device() {
    std::array<char, 256> name{};
    check(openpty(&master_, &tty_, name.data(), nullptr, nullptr) == 0, "openpty");
    check(set_raw_line(tty_) == LINK_OK, "set the pty raw");
    tty_path_ = name.data();
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(tty_, F_SETFD, FD_CLOEXEC);
    fcntl(master_, F_SETFL, fcntl(master_, F_GETFL) | O_NONBLOCK);
}

pty_device::~pty_device() {
    hang_up();
}

void pty_device::hang_up() {
    for (int* fd : {&master_, &tty_}) {
        if (*fd >= 0) {
            close(*fd);
            *fd = -1;
        }
    }
}

void pty_device::allow_next_opener() const {
    ioctl(tty_, TIOCNXCL);
}

bool pty_device::held_exclusively() const {
    int set = 0;
    return ioctl(tty_, TIOCGEXCL, &set) == 0 && set != 0;
}

void pty_device::link_as(const std::filesystem::path& link) const {
    std::filesystem::create_symlink(tty_path_, link);
}

void pty_device::send(const byte_string& bytes) const {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = write(master_, bytes.data() + done, bytes.size() - done);
        check(n >= 0 || errno == EAGAIN || errno == EINTR, "write to pty");
        done += n > 0 ? static_cast<std::size_t>(n) : 0;
        pollfd p{master_, POLLOUT, 0};
        poll(&p, 1, n > 0 ? 0 : 100);
    }
}

byte_string pty_device::receive(std::size_t count, std::chrono::milliseconds wait) const {
    byte_string got;
    within(wait, [&] {
        // EIO while nobody has the other end open: polled, as an empty line is.
        std::array<std::uint8_t, 4096> buffer{};
        for (ssize_t n = 1; got.size() < count && n > 0;) {
            n = read(master_, buffer.data(), std::min(buffer.size(), count - got.size()));
            got.insert(got.end(), buffer.data(), buffer.data() + std::max<ssize_t>(n, 0));
        }
        return got.size() >= count;
    });
    return got;
}

byte_string pty_device::receive_for(std::chrono::milliseconds wait) const {
    return receive(SIZE_MAX, wait);
}

tool_run::tool_run(const std::string& program, const std::vector<std::string>& args,
                   const std::filesystem::path& cwd, const run_streams& streams)
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
    check(pid_ >= 0, "fork");
    if (pid_ == 0) {
        const std::array<std::array<int, 2>, 3> chosen{
            {{streams.input, open("/dev/null", O_RDONLY)},
             {streams.output, open(output_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)},
             {streams.errors, open(errors_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)}}};
        for (int fd = 0; fd < 3; ++fd) {
            const auto [given, captured] = chosen[static_cast<std::size_t>(fd)];
            dup2(given >= 0 ? given : captured, fd);
        }
        for (int fd = 0; fd < 3; ++fd) {
            const auto [given, captured] = chosen[static_cast<std::size_t>(fd)];
            if (given == CLOSED) {
                close(fd);
            }
            if (captured > STDERR_FILENO) {
                close(captured);
            }
        }
        // As a shell starts a program in the foreground, even when the tests themselves
        // run in the background with these ignored.
        for (const int signal_number : {SIGINT, SIGTERM, SIGQUIT}) {
            signal(signal_number, SIG_DFL);
        }
        // A new session: no controlling terminal the program could pick up by accident.
        setsid();
        if (chdir(cwd.c_str()) == 0) {
            execv(argv[0], argv.data());
        }
        _exit(127);
    }
}

tool_run::~tool_run() {
    stop();
}

std::string tool_run::output() const {
    return contents_of(output_path_);
}

std::string tool_run::errors() const {
    return contents_of(errors_path_);
}

bool tool_run::wait_for_output(const std::string& text, std::chrono::milliseconds wait,
                               std::size_t from) const {
    return within(wait, [&] { return output().find(text, from) != std::string::npos; });
}

bool tool_run::wait_for_errors(const std::string& text, std::chrono::milliseconds wait,
                               std::size_t from) const {
    return within(wait, [&] { return errors().find(text, from) != std::string::npos; });
}

int tool_run::wait_exit(std::chrono::milliseconds wait) {
    if (!within(wait, [this] { return !running(); })) {
        return -1;
    }
    return WIFEXITED(status_) ? WEXITSTATUS(status_) : 128 + WTERMSIG(status_);
}

bool tool_run::running() {
    if (pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == pid_) {
        pid_ = -1;
    }
    return pid_ > 0;
}

void tool_run::stop() {
    if (running()) {
        kill(pid_, SIGKILL);
        waitpid(pid_, &status_, 0);
        pid_ = -1;
    }
}

int tool_run::end_signal() const {
    return pid_ < 0 && status_ != -1 && WIFSIGNALED(status_) ? WTERMSIG(status_) : 0;
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

byte_string greeting_bytes() {
    return {0xAD, 0x00, 0x06, 0xA2, 'h', 'e', 'l', 'l', 'o', 0xC0};
}

void set_wrong_line(const pty_device& device) {
    termios line{};
    check(tcgetattr(device.device_end(), &line) == 0, "tcgetattr " + device.tty_path());
    cfsetispeed(&line, B9600);
    cfsetospeed(&line, B9600);
    line.c_cflag = (line.c_cflag & ~tcflag_t{CSIZE}) | CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;
    line.c_iflag |= IXON | IXOFF;
    check(tcsetattr(device.device_end(), TCSANOW, &line) == 0, "tcsetattr " + device.tty_path());
}

std::string line_differences(const pty_device& device) {
    termios line{};
    check(tcgetattr(device.device_end(), &line) == 0, "tcgetattr " + device.tty_path());
    const std::pair<bool, const char*> checks[] = {
        {cfgetispeed(&line) != B921600 || cfgetospeed(&line) != B921600, "speed is not 921600; "},
        {(line.c_cflag & CSIZE) != CS8, "not 8 data bits; "},
        {(line.c_cflag & PARENB) != 0, "parity on; "},
        {(line.c_cflag & CSTOPB) != 0, "two stop bits; "},
        {(line.c_cflag & CRTSCTS) != 0, "hardware flow control on; "},
        {(line.c_iflag & (IXON | IXOFF)) != 0, "software flow control on; "}};
    std::string differences;
    for (const auto& [differs, text] : checks) {
        differences += differs ? text : "";
    }
    return differences;
}
