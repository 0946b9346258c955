// Measures a greeting program end to end over a pseudo-terminal: how soon after a
// response's last byte is written its line is printed, how long each cycle takes beyond
// its fixed pauses, the processor time it uses, its peak resident memory and, when
// alloc_counter is preloaded, its heap allocations per cycle.
//
//   cycle_driver prompt|silent CYCLES [--sim PATH] [--count-allocations LIB] [--payload N]
//                -- PROGRAM ARGS...
//
// The program runs in a scratch directory where COM3 names the pseudo-terminal. With
// --sim the simulated device (tervalo-sim) plays the device: prompt, it answers every
// greeting with a frame carrying "world"; silent, it has the fault "silence" every cycle.
// The moments of a greeting and of a reply's last byte written are then the moments its
// log lines arrive. Without --sim this driver plays the device itself and knows both
// moments first-hand; --payload makes its reply N letters long (1 to 65,534) instead of
// "world". CYCLES cycles are counted, after two that warm up.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/poll_cycle.h"
#include "link/output_lines.h"
#include "sim/printed_line.h"
#include "tests/e2e/tool_harness.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int WARM_UP_CYCLES = 2;
constexpr std::chrono::seconds EVENT_WAIT{10};
constexpr char REPLY_TEXT[] = "world";

double ms_between(clock_type::time_point from, clock_type::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

// One output of a child process, with the moment each piece of it arrived.
struct stream {
    int fd = -1;
    std::string text;
    std::vector<std::pair<std::size_t, clock_type::time_point>> arrivals;  // end offset, time
    std::size_t seen = 0;  // what the driver has looked at already
};

struct child {
    pid_t pid = -1;
    stream out;
    stream err;  // captured only for the simulator, whose log is its standard error
};

child start(const std::vector<std::string>& command, const std::filesystem::path& cwd,
            const std::vector<std::pair<std::string, std::string>>& environment,
            bool capture_errors) {
    int out_pipe[2];
    int err_pipe[2];
    if (pipe(out_pipe) != 0 || pipe(err_pipe) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    child c;
    c.pid = fork();
    if (c.pid == 0) {
        dup2(out_pipe[1], 1);
        if (capture_errors) {
            dup2(err_pipe[1], 2);
        }
        for (const int fd : {out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]}) {
            close(fd);
        }
        if (chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        for (const auto& [name, value] : environment) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        std::vector<char*> argv;
        argv.reserve(command.size() + 1);
        for (const std::string& arg : command) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out_pipe[1]);
    close(err_pipe[1]);
    c.out.fd = out_pipe[0];
    c.err.fd = err_pipe[0];
    return c;
}

void stop(child& c) {
    if (c.pid > 0) {
        kill(c.pid, SIGTERM);
        waitpid(c.pid, nullptr, 0);
        c.pid = -1;
    }
}

// Reads whatever the streams have, waiting up to wait_ms for the first of them; every
// piece is stamped with the moment it was read.
void pump(const std::vector<stream*>& streams, int wait_ms) {
    std::vector<pollfd> readable;
    readable.reserve(streams.size());
    for (const stream* s : streams) {
        readable.push_back({s->fd, POLLIN, 0});
    }
    if (poll(readable.data(), readable.size(), wait_ms) <= 0) {
        return;
    }
    for (std::size_t i = 0; i < streams.size(); ++i) {
        if ((readable[i].revents & (POLLIN | POLLHUP)) == 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t n = read(streams[i]->fd, buffer, sizeof buffer);
        if (n > 0) {
            streams[i]->text.append(buffer, static_cast<std::size_t>(n));
            streams[i]->arrivals.emplace_back(streams[i]->text.size(), clock_type::now());
        }
    }
}

// Waits until text appears in s beyond what was seen, keeping every stream read; the
// moment the text was complete, or nothing after the wait.
std::optional<clock_type::time_point> await(stream& s, const std::string& text,
                                            const std::vector<stream*>& all) {
    const auto deadline = clock_type::now() + EVENT_WAIT;
    for (;;) {
        const std::size_t at = s.text.find(text, s.seen);
        if (at != std::string::npos) {
            s.seen = at + text.size();
            for (const auto& [end, when] : s.arrivals) {
                if (end >= s.seen) {
                    return when;
                }
            }
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pump(all, static_cast<int>(left.count()));
    }
}

long peak_resident_kib(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    const auto index =
        static_cast<std::size_t>(std::lround(share * static_cast<double>(values.size() - 1)));
    return values[index];
}

// Processor time the process has run, in nanoseconds, from the scheduler's own
// accounting: far finer than the 10 ms ticks of /proc/PID/stat.
double cpu_ns_of(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/schedstat");
    double ns = 0;
    in >> ns;
    return ns;
}

// Whether the counting library is mapped into the process, so that a count of zero
// means no allocation rather than no counting.
bool maps_library(pid_t pid, const std::string& library) {
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    std::string line;
    while (std::getline(maps, line)) {
        if (line.find(library) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::uint64_t read_count(const std::uint64_t* shared) {
    return shared == nullptr ? 0 : __atomic_load_n(shared, __ATOMIC_RELAXED);
}

struct driver_options {
    bool prompt = false;
    int cycles = 0;
    std::string alloc_library;  // empty: allocations not counted
    std::string sim_path;       // empty: the driver plays the device
    std::string reply = REPLY_TEXT;
    std::vector<std::string> command;
};

std::optional<driver_options> parse_options(const std::vector<std::string>& args) {
    const auto dashes = std::find(args.begin(), args.end(), "--");
    if (args.size() < 4 || dashes == args.end() || (args[0] != "prompt" && args[0] != "silent")) {
        return std::nullopt;
    }
    driver_options options;
    options.prompt = args[0] == "prompt";
    options.cycles = std::stoi(args[1]);
    for (auto option = args.begin() + 2; option + 1 < dashes; option += 2) {
        if (*option == "--count-allocations") {
            options.alloc_library = std::filesystem::absolute(option[1]).string();
        } else if (*option == "--sim") {
            options.sim_path = std::filesystem::absolute(option[1]).string();
        } else if (*option == "--payload") {
            const auto size = static_cast<std::size_t>(std::stoul(option[1]));
            options.reply.clear();
            for (std::size_t i = 0; i < size; ++i) {
                options.reply.push_back(static_cast<char>('a' + i % 26));
            }
        }
    }
    options.command.assign(dashes + 1, args.end());
    return options;
}

// The device end: this driver over its own pseudo-terminal, or the simulator.
struct device_end {
    std::unique_ptr<pty_device> pty;
    child sim;
};

// Links COM3 in dir to the device; false (after saying why) when the simulator did not
// come up.
bool start_device(const driver_options& options, const std::filesystem::path& dir,
                  device_end& device) {
    if (options.sim_path.empty()) {
        device.pty = std::make_unique<pty_device>();
        device.pty->link_as(dir / "COM3");
        return true;
    }
    std::vector<std::string> sim_command{options.sim_path, "--port", "COM3", "--text", REPLY_TEXT};
    if (!options.prompt) {
        sim_command.insert(sim_command.end(), {"--fault", "silence", "--every", "1"});
    }
    device.sim = start(sim_command, dir, {}, true);
    if (!await(device.sim.out, "ready", {&device.sim.out, &device.sim.err})) {
        std::fprintf(stderr, "the simulator did not start: %s\n", device.sim.err.text.c_str());
        return false;
    }
    return true;
}

// A counter in a file shared with the measured program's preloaded alloc_counter.
struct alloc_share {
    std::uint64_t* count = nullptr;
    std::vector<std::pair<std::string, std::string>> environment;
};

bool share_alloc_counter(const std::string& library, const std::string& file, alloc_share& share) {
    if (library.empty()) {
        return true;
    }
    const int fd = open(file.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(std::uint64_t)) != 0) {
        std::perror(file.c_str());
        return false;
    }
    share.count = static_cast<std::uint64_t*>(
        mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    share.environment = {{"LD_PRELOAD", library}, {"TERVALO_ALLOC_COUNTER", file}};
    return true;
}

// What the counted cycles gave.
struct measurements {
    std::vector<double> latencies;  // response written to line printed
    std::vector<double> periods;    // greeting to greeting
    double wall_ms = 0;
    double cpu_ms = 0;
    std::uint64_t total_allocated = 0;
    std::uint64_t allocated = 0;  // over the counted cycles
    long peak_kib = 0;
    bool counted = false;  // the counting library was loaded
};

// Plays the warm-up and the counted cycles against the running program p.
bool run_cycles(const driver_options& options, device_end& device, child& p,
                const alloc_share& share, measurements& m) {
    std::vector<stream*> streams{&p.out};
    if (!options.sim_path.empty()) {
        streams.insert(streams.end(), {&device.sim.out, &device.sim.err});
    }
    const byte_string response = frame_bytes(FRAME_TYPE_TEXT, options.reply);
    const byte_string greeting = greeting_bytes();
    const std::string response_line = printed_line(RESPONSE_FORMAT, options.reply.c_str());

    // The moment the next greeting was complete on the line.
    const auto next_greeting = [&]() -> std::optional<clock_type::time_point> {
        if (device.pty) {
            const byte_string got = device.pty->receive(greeting.size(), EVENT_WAIT);
            return got == greeting ? std::optional(clock_type::now()) : std::nullopt;
        }
        return await(device.sim.err, "[info]:greeting ", streams);
    };
    // The moment the response's last byte was written.
    const auto respond = [&]() -> std::optional<clock_type::time_point> {
        if (device.pty) {
            device.pty->send(response);
            return clock_type::now();
        }
        return await(device.sim.err, "[info]:reply ", streams);
    };

    clock_type::time_point previous_greeting;
    clock_type::time_point first_counted;
    double first_cpu_ns = 0;
    std::uint64_t first_allocations = 0;
    for (int cycle = 0; cycle <= WARM_UP_CYCLES + options.cycles; ++cycle) {
        const auto greeted = next_greeting();
        if (!greeted) {
            std::fprintf(stderr, "cycle %d: no greeting\n", cycle);
            return false;
        }
        if (cycle == WARM_UP_CYCLES) {
            first_counted = *greeted;
            first_cpu_ns = cpu_ns_of(p.pid);
            first_allocations = read_count(share.count);
        } else if (cycle > WARM_UP_CYCLES) {
            m.periods.push_back(ms_between(previous_greeting, *greeted));
        }
        previous_greeting = *greeted;
        if (cycle == WARM_UP_CYCLES + options.cycles) {
            break;  // the last greeting closes the last counted cycle
        }
        if (options.prompt) {
            const auto written = respond();
            const auto printed = written ? await(p.out, response_line, streams) : std::nullopt;
            if (!printed) {
                std::fprintf(stderr, "cycle %d: response not printed\n", cycle);
                return false;
            }
            if (cycle >= WARM_UP_CYCLES) {
                m.latencies.push_back(ms_between(*written, *printed));
            }
        }
    }
    m.wall_ms = ms_between(first_counted, previous_greeting);
    m.cpu_ms = (cpu_ns_of(p.pid) - first_cpu_ns) / 1e6;
    m.total_allocated = read_count(share.count);
    m.allocated = m.total_allocated - first_allocations;
    m.peak_kib = peak_resident_kib(p.pid);
    m.counted = share.count != nullptr && maps_library(p.pid, options.alloc_library);
    return true;
}

void report(const driver_options& options, const measurements& m, bool counting) {
    // A prompt device's cycle waits only for the pause; a silent one's also for the
    // reader's whole deadline.
    const auto pauses_ms =
        static_cast<double>(options.prompt ? CYCLE_PAUSE_MS : CYCLE_PAUSE_MS + READ_DEADLINE_MS);
    std::vector<double> overheads;
    overheads.reserve(m.periods.size());
    for (const double period : m.periods) {
        overheads.push_back(period - pauses_ms);
    }
    std::printf("device: %s%s, cycles counted: %zu\n", options.prompt ? "prompt" : "silent",
                options.sim_path.empty() ? "" : " (tervalo-sim)", m.periods.size());
    if (options.prompt) {
        std::printf("response to line printed: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    percentile(m.latencies, 0.5), percentile(m.latencies, 0.99),
                    *std::max_element(m.latencies.begin(), m.latencies.end()));
    }
    std::printf("cycle period beyond the %.0f ms of fixed waits: median %.3f ms, p99 %.3f ms\n",
                pauses_ms, percentile(overheads, 0.5), percentile(overheads, 0.99));
    std::printf("cpu: %.3f %% of one core (%.1f ms over %.1f s)\n", 100.0 * m.cpu_ms / m.wall_ms,
                m.cpu_ms, m.wall_ms / 1000.0);
    std::printf("peak resident memory: %ld KiB\n", m.peak_kib);
    if (counting && !m.counted) {
        std::printf("heap allocations: not counted (the counter was not loaded)\n");
    } else if (m.counted) {
        std::printf("heap allocations: %llu since start, %llu over %zu cycles (%.2f per cycle)\n",
                    static_cast<unsigned long long>(m.total_allocated),
                    static_cast<unsigned long long>(m.allocated), m.periods.size(),
                    static_cast<double>(m.allocated) / static_cast<double>(m.periods.size()));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::optional<driver_options> options =
        parse_options(std::vector<std::string>(argv + 1, argv + argc));
    if (!options) {
        std::fprintf(stderr,
                     "usage: cycle_driver prompt|silent CYCLES [--sim PATH] "
                     "[--count-allocations LIB] [--payload N] -- PROGRAM ARGS...\n");
        return 2;
    }
    scratch_dir dir;
    device_end device;
    alloc_share share;
    if (!start_device(*options, dir.path(), device) ||
        !share_alloc_counter(options->alloc_library, (dir.path() / "allocations").string(),
                             share)) {
        return 1;
    }
    child p = start(options->command, dir.path(), share.environment, false);
    measurements m;
    const bool ran = run_cycles(*options, device, p, share, m);
    stop(p);
    stop(device.sim);
    if (!ran) {
        return 1;
    }
    report(*options, m, share.count != nullptr);
    return 0;
}
