// Plays the device for a greeting program over a pseudo-terminal and measures it end to
// end: how soon after a response's last byte is written its line is printed, how long
// each cycle takes beyond its fixed pauses, the processor time it uses, its peak
// resident memory and, when alloc_counter is preloaded, its heap allocations per cycle.
//
//   cycle_driver prompt|silent CYCLES [--count-allocations LIB] -- PROGRAM ARGS...
//
// The program runs in a scratch directory where COM3 names the pseudo-terminal. A prompt
// device answers every greeting at once with a frame carrying "world"; a silent one never
// answers. CYCLES cycles are counted, after two that warm up.
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
#include <sstream>
#include <string>
#include <vector>

#include "tests/e2e/tool_harness.h"

namespace {

using clock_type = std::chrono::steady_clock;
constexpr int WARM_UP_CYCLES = 2;
const std::string RESPONSE_LINE = "[info]:response: world\r\n";

double ms_between(clock_type::time_point from, clock_type::time_point to) {
    return std::chrono::duration<double, std::milli>(to - from).count();
}

struct program {
    pid_t pid = -1;
    int output = -1;  // read end of the program's standard output
    std::string printed;
};

program start(const std::vector<std::string>& command, const std::filesystem::path& cwd,
              const std::string& alloc_library, const std::string& alloc_file) {
    int pipe_ends[2];
    if (pipe(pipe_ends) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    program p;
    p.pid = fork();
    if (p.pid == 0) {
        dup2(pipe_ends[1], 1);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
        if (chdir(cwd.c_str()) != 0) {
            _exit(127);
        }
        if (!alloc_library.empty()) {
            setenv("LD_PRELOAD", alloc_library.c_str(), 1);
            setenv("TERVALO_ALLOC_COUNTER", alloc_file.c_str(), 1);
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
    close(pipe_ends[1]);
    p.output = pipe_ends[0];
    return p;
}

// Reads the program's output until it contains text after offset from; the time the
// text was complete, or nothing after the wait.
bool wait_printed(program& p, const std::string& text, std::size_t from,
                  clock_type::time_point& at) {
    const auto deadline = clock_type::now() + std::chrono::seconds(5);
    while (p.printed.find(text, from) == std::string::npos) {
        pollfd readable{p.output, POLLIN, 0};
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
        if (left.count() <= 0 || poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
            return false;
        }
        char buffer[4096];
        const ssize_t n = read(p.output, buffer, sizeof buffer);
        if (n <= 0) {
            return false;
        }
        p.printed.append(buffer, static_cast<std::size_t>(n));
    }
    at = clock_type::now();
    return true;
}

// Drains whatever the program printed without waiting.
void drain(program& p) {
    pollfd readable{p.output, POLLIN, 0};
    while (poll(&readable, 1, 0) > 0) {
        char buffer[4096];
        const ssize_t n = read(p.output, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        p.printed.append(buffer, static_cast<std::size_t>(n));
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

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const auto dashes = std::find(args.begin(), args.end(), "--");
    if (args.size() < 4 || dashes == args.end() || (args[0] != "prompt" && args[0] != "silent")) {
        std::fprintf(stderr,
                     "usage: cycle_driver prompt|silent CYCLES [--count-allocations LIB] -- "
                     "PROGRAM ARGS...\n");
        return 2;
    }
    const bool prompt = args[0] == "prompt";
    const int cycles = std::stoi(args[1]);
    std::string alloc_library;
    if (args[2] == "--count-allocations") {
        alloc_library = std::filesystem::absolute(args[3]).string();
    }
    const std::vector<std::string> command(dashes + 1, args.end());

    ScratchDir dir;
    PtyDevice device;
    device.link_as(dir.path() / "COM3");

    const std::string alloc_file = (dir.path() / "allocations").string();
    std::uint64_t* allocations = nullptr;
    if (!alloc_library.empty()) {
        const int fd = open(alloc_file.c_str(), O_RDWR | O_CREAT, 0600);
        if (fd < 0 || ftruncate(fd, sizeof(std::uint64_t)) != 0) {
            std::perror(alloc_file.c_str());
            return 1;
        }
        allocations = static_cast<std::uint64_t*>(
            mmap(nullptr, sizeof(std::uint64_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
    }

    program p = start(command, dir.path(), alloc_library, alloc_file);
    const byte_string response = frame_bytes(0xA2, "world");
    std::vector<double> latencies;
    std::vector<double> periods;
    clock_type::time_point previous_greeting;
    clock_type::time_point first_counted;
    double first_cpu_ns = 0;
    std::uint64_t first_allocations = 0;

    for (int cycle = 0; cycle <= WARM_UP_CYCLES + cycles; ++cycle) {
        const byte_string greeting = device.receive(10, std::chrono::seconds(10));
        const auto greeted = clock_type::now();
        if (greeting != greeting_bytes()) {
            std::fprintf(stderr, "cycle %d: no greeting\n", cycle);
            return 1;
        }
        if (cycle == WARM_UP_CYCLES) {
            first_counted = greeted;
            first_cpu_ns = cpu_ns_of(p.pid);
            first_allocations = read_count(allocations);
        } else if (cycle > WARM_UP_CYCLES) {
            periods.push_back(ms_between(previous_greeting, greeted));
        }
        previous_greeting = greeted;
        if (cycle == WARM_UP_CYCLES + cycles) {
            break;  // the last greeting closes the last counted cycle
        }
        if (prompt) {
            const std::size_t seen = p.printed.size();
            device.send(response);
            const auto written = clock_type::now();
            clock_type::time_point printed;
            if (!wait_printed(p, RESPONSE_LINE, seen, printed)) {
                std::fprintf(stderr, "cycle %d: response not printed\n", cycle);
                return 1;
            }
            if (cycle >= WARM_UP_CYCLES) {
                latencies.push_back(ms_between(written, printed));
            }
        } else {
            drain(p);
        }
    }
    const double wall_ms = ms_between(first_counted, previous_greeting);
    const double cpu_ms = (cpu_ns_of(p.pid) - first_cpu_ns) / 1e6;
    const std::uint64_t total_allocated = read_count(allocations);
    const std::uint64_t allocated = total_allocated - first_allocations;
    const long peak_kib = peak_resident_kib(p.pid);
    const bool counted = allocations != nullptr && maps_library(p.pid, alloc_library);
    kill(p.pid, SIGKILL);
    waitpid(p.pid, nullptr, 0);

    const double pauses_ms = prompt ? 1000.0 : 2000.0;
    std::vector<double> overheads;
    overheads.reserve(periods.size());
    for (const double period : periods) {
        overheads.push_back(period - pauses_ms);
    }
    std::printf("device: %s, cycles counted: %zu\n", prompt ? "prompt" : "silent", periods.size());
    if (prompt) {
        std::printf("response to line printed: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                    percentile(latencies, 0.5), percentile(latencies, 0.99),
                    *std::max_element(latencies.begin(), latencies.end()));
    }
    std::printf("cycle period beyond the %.0f ms of fixed waits: median %.3f ms, p99 %.3f ms\n",
                pauses_ms, percentile(overheads, 0.5), percentile(overheads, 0.99));
    std::printf("cpu: %.3f %% of one core (%.1f ms over %.1f s)\n", 100.0 * cpu_ms / wall_ms,
                cpu_ms, wall_ms / 1000.0);
    std::printf("peak resident memory: %ld KiB\n", peak_kib);
    if (allocations != nullptr && !counted) {
        std::printf("heap allocations: not counted (the counter was not loaded)\n");
    } else if (counted) {
        std::printf("heap allocations: %llu since start, %llu over %zu cycles (%.2f per cycle)\n",
                    static_cast<unsigned long long>(total_allocated),
                    static_cast<unsigned long long>(allocated), periods.size(),
                    static_cast<double>(allocated) / static_cast<double>(periods.size()));
    }
    return 0;
}
