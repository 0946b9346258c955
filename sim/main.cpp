// tervalo-sim: plays the device side of tervalo's link over a pseudo-terminal or a
// serial port, answering every greeting, with faults injected on demand.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "console/console.h"
#include "link/link_protocol.h"
#include "serial/device_path.h"
#include "serial/posix_baud.h"
#include "serial/posix_write.h"
#include "serial/serial_port.h"
#include "sim/fault_plan.h"
#include "sim/sim_options.h"
#include "sim/sim_port.h"
#include "sim/sim_record.h"
#include "timing/clock.h"

namespace {

constexpr int EXIT_USAGE = 2;
constexpr int EXIT_TROUBLE = 1;
// A write that finds no room for this long has lost its reader: the tool is gone, not slow.
constexpr std::int64_t STALLED_LINE_MS = 3000;

FILE* log_file = stderr;

int fail(int status, const std::string& message) {
    std::fprintf(stderr, "[error]:%s\n", message.c_str());
    return status;
}

// A write to the log, the record or standard output failed (a full disk, a reader
// that went away; SIGPIPE is ignored for this): the run ends as a stop ends it, its
// link removed, but with status 1 after the reason.
[[noreturn]] void end_after_write_error() {
    remove_own_link();
    std::exit(EXIT_TROUBLE);
}

void check_written(FILE* file, const char* what) {
    if (std::fflush(file) != 0 || std::ferror(file) != 0) {
        std::fprintf(stderr, "[error]:cannot write %s: %s\n", what,
                     std::strerror(errno != 0 ? errno : EIO));
        end_after_write_error();
    }
}

// print_line has said why already.
void check_output() {
    if (output_failed()) {
        end_after_write_error();
    }
}

void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Formed whole first and written with one call, so that the lines of one log_line are
// one write whatever the stream's buffering.
void log_line(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string line(static_cast<std::size_t>(size > 0 ? size : 0) + 1, '\0');
    std::vsnprintf(line.data(), line.size(), format, again);
    va_end(again);
    line.back() = '\n';
    errno = 0;
    std::fwrite(line.data(), 1, line.size(), log_file);
    check_written(log_file, log_file == stderr ? "standard error" : "the log");
}

struct delivery {
    std::size_t bytes_sent = 0;
    bool as_planned = true;  // every back-to-back write followed its predecessor at once
    bool written = true;     // no write failed
};

// --paced: the bytes as a line at the terminal's speed carries them, a millisecond's worth
// (one byte at least) a write, on a schedule that does not drift with late wake-ups.
// Finer steps would measure the machine's scheduling rather than the tool. A write more
// than a millisecond behind its time leaves a gap the line would not have: *late says so.
int write_paced(int fd, const std::vector<std::uint8_t>& bytes, bool* late) {
    std::uint32_t baud = WANTED_LINE.baud;
    read_any_baud(fd, &baud);
    const std::uint64_t per_second = baud > 0 ? baud : 1;
    const std::size_t chunk = std::max<std::size_t>(1, per_second / 10 / 1000);
    const auto step = std::chrono::nanoseconds(chunk * 10'000'000'000ULL / per_second);
    auto next = std::chrono::steady_clock::now();
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
        std::this_thread::sleep_until(next);
        *late = *late || std::chrono::steady_clock::now() - next > std::chrono::milliseconds(1);
        const std::size_t size = std::min(chunk, bytes.size() - at);
        if (write_within(fd, bytes.data() + at, size, now_ms() + STALLED_LINE_MS) != 0) {
            return -1;
        }
        next += step;
    }
    return 0;
}

// Writes the plan's steps with their pauses. A back-to-back write that lands more than
// a moment after the previous one (the machine descheduled us) leaves the tool's
// reaction open, so it is reported rather than hidden; paced, a step is timed from its
// start, its bytes taking as long as the line does.
delivery deliver(const reply_plan& plan, int fd, bool paced) {
    using clock = std::chrono::steady_clock;
    delivery result;
    clock::time_point previous_end = clock::now();
    for (const write_step& step : plan.steps) {
        if (step.wait_ms > 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(step.wait_ms));
        }
        const clock::time_point begun = clock::now();
        bool late = false;
        const int written = paced ? write_paced(fd, step.bytes, &late)
                                  : write_within(fd, step.bytes.data(), step.bytes.size(),
                                                 now_ms() + STALLED_LINE_MS);
        result.written = written == 0 && result.written;
        const clock::time_point end = clock::now();
        if (late || (step.back_to_back && (paced ? begun : end) - previous_end >
                                              std::chrono::milliseconds(BACK_TO_BACK_MS))) {
            result.as_planned = false;
        }
        previous_end = end;
        result.bytes_sent += step.bytes.size();
    }
    return result;
}

std::vector<std::uint8_t> all_bytes(const reply_plan& plan) {
    std::vector<std::uint8_t> bytes;
    for (const write_step& step : plan.steps) {
        bytes.insert(bytes.end(), step.bytes.begin(), step.bytes.end());
    }
    return bytes;
}

FILE* open_output(const std::string& path) {
    // Fully buffered: every writer flushes after its lines, each flush one write.
    return std::fopen(path.c_str(), "w");
}

// Says so when the log and the record, both given, are one file.
std::string same_file_error(const sim_options& options) {
    struct stat log {};
    struct stat record {};
    if (options.log_path.empty() || options.record_path.empty() ||
        stat(options.log_path.c_str(), &log) != 0 ||
        stat(options.record_path.c_str(), &record) != 0 || log.st_dev != record.st_dev ||
        log.st_ino != record.st_ino) {
        return "";
    }
    return "--log " + options.log_path + " and --record " + options.record_path +
           " are the same file";
}

// --control: the control file as last seen, so that a plan is taken once per change.
struct control_seen {
    bool exists = false;
    struct timespec modified {};
    off_t size = 0;
    ino_t inode = 0;
};

// Takes a new plan from the control file when it has changed since last seen: said in
// the log, and the fault schedule starts again from the plan's seed. A plan refused
// leaves the one in force.
bool take_new_plan(sim_options& options, control_seen& seen) {
    struct stat now {};
    const bool exists = stat(options.control_path.c_str(), &now) == 0;
    if (exists == seen.exists &&
        (!exists || (now.st_mtim.tv_sec == seen.modified.tv_sec &&
                     now.st_mtim.tv_nsec == seen.modified.tv_nsec && now.st_size == seen.size &&
                     now.st_ino == seen.inode))) {
        return false;
    }
    seen = {exists, now.st_mtim, now.st_size, now.st_ino};
    std::string text;
    if (FILE* file = exists ? std::fopen(options.control_path.c_str(), "r") : nullptr) {
        std::array<char, 4096> chunk{};
        for (std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file); n > 0;
             n = std::fread(chunk.data(), 1, chunk.size(), file)) {
            text.append(chunk.data(), n);
        }
        std::fclose(file);
    }
    if (const std::string error = parse_plan(text, options); !error.empty()) {
        log_line("[warn]:control %s: %s; the plan stays as it was", options.control_path.c_str(),
                 error.c_str());
        return false;
    }
    std::replace(text.begin(), text.end(), '\n', ' ');
    log_line("[info]:plan from %s: %s", options.control_path.c_str(),
             text.find_first_not_of(' ') == std::string::npos ? "intact replies" : text.c_str());
    return true;
}

// Greets back forever; ends only by a signal or a failed write.
[[noreturn]] void serve(sim_options options, const pty_link* link, FILE* record) {
    // Static: the record is 64 KiB and lives as long as the process.
    static Packet packet;
    control_seen control;
    if (!options.control_path.empty()) {
        take_new_plan(options, control);
    }
    std::uint32_t seed = options.mix_seed.value_or(0);
    std::mt19937 schedule(seed);
    std::mt19937 noise(seed ^ 0x5eed5eedU);
    std::uint64_t cycle = 0;
    fault_kind previous = fault_kind::none;
    for (;;) {
        const int result = read_packet(packet);
        if (!options.control_path.empty() && take_new_plan(options, control)) {
            seed = options.mix_seed.value_or(0);
            schedule.seed(seed);
            noise.seed(seed ^ 0x5eed5eedU);
        }
        // After every greeting and every second of silence, so that a tervalo that has
        // stopped leaves no flag behind by the time it could be started again.
        if (link != nullptr) {
            clear_exclusive(*link);
        }
        check_output();  // the reader's warnings
        if (result != LINK_OK) {
            continue;
        }
        ++cycle;
        const std::string greeting(reinterpret_cast<const char*>(packet.data.data()), packet.len);
        const fault_kind fault = fault_for_cycle(options, cycle, previous, schedule);
        const std::string text =
            options.text.empty() ? "reply " + std::to_string(cycle) : options.text;
        reply_plan plan = plan_reply(fault, text, options.delay_ms, noise);
        // A reply that leaves at once goes before the greeting's line, which then shares
        // the reply's write to the log: back to back, the tool is not kept waiting for
        // the log. One that waits first has the greeting logged as it comes.
        const bool at_once = std::all_of(plan.steps.begin(), plan.steps.end(),
                                         [](const write_step& step) { return step.wait_ms == 0; });
        const std::string greeting_line = "[info]:greeting " + std::to_string(cycle) + ": " +
                                          escape_bytes(greeting) + (at_once ? "\n" : "");
        if (!at_once) {
            log_line("%s", greeting_line.c_str());
        }
        const delivery sent = deliver(plan, static_cast<int>(port_handle), options.paced);
        if (!sent.as_planned || !sent.written) {
            plan.expected.reset();
            plan.note += sent.written ? " (delayed by the system: outcome open)"
                                      : " (a write failed: outcome open)";
        }

        const char* logged_first = at_once ? greeting_line.c_str() : "";
        if (fault == fault_kind::none) {
            log_line("%s[info]:reply %llu: %s%s", logged_first,
                     static_cast<unsigned long long>(cycle), escape_bytes(text).c_str(),
                     plan.note.c_str());
        } else {
            log_line("%s[warn]:fault %llu %s: %s, %zu bytes", logged_first,
                     static_cast<unsigned long long>(cycle), std::string(fault_name(fault)).c_str(),
                     plan.note.c_str(), sent.bytes_sent);
        }
        if (record != nullptr) {
            std::fputs(record_line(cycle, fault_name(fault), sent.bytes_sent, plan.expected,
                                   all_bytes(plan))
                           .c_str(),
                       record);
            check_written(record, "the record");
        }
        previous = fault;
    }
}

}  // namespace

int main(int argc, char** argv) {
    prepare_console("tervalo-sim");
    signal(SIGPIPE, SIG_IGN);
    sim_options options;
    if (const std::string error = parse_options(argc, argv, options); !error.empty()) {
        return fail(EXIT_USAGE, error);
    }
    if (options.help || options.version) {
        if (options.help) {
            print_line("%s", usage_text());
        } else {
            print_line("tervalo-sim %s\n", TERVALO_VERSION);
        }
        return unless_output_failed(0);
    }
    // Both writers would overwrite each other's lines. Compared by the files themselves,
    // not their names: before anything is opened, and once the log exists.
    if (const std::string error = same_file_error(options); !error.empty()) {
        return fail(EXIT_USAGE, error);
    }

    pty_link link;
    const bool own_pty = options.open_port.empty();
    if (own_pty) {
        // Held off while the link is made, so that none can leave it behind.
        sigset_t stops;
        sigemptyset(&stops);
        for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
            sigaddset(&stops, signal_number);
        }
        sigprocmask(SIG_BLOCK, &stops, nullptr);
        const std::string error = create_pty_link(options.port, options.replace_link, link);
        if (!error.empty()) {
            return fail(EXIT_TROUBLE, error);
        }
        remove_link_on_signal(options.port, link.terminal_path);
        sigprocmask(SIG_UNBLOCK, &stops, nullptr);
        port_handle = link.device;
    } else {
        remove_link_on_signal("", "");
        port_report report{};
        port_handle = open_port(options.open_port.c_str(), &report);
        if (port_handle < 0) {
            return fail(EXIT_TROUBLE, "cannot open port " + options.open_port +
                                          ": not of the form COM<n>, missing, not a terminal, "
                                          "or in use");
        }
    }

    FILE* record = nullptr;
    // Whatever this run created goes again when it cannot start.
    // A log that was there before (a device such as /dev/full, an earlier run's) is kept.
    struct stat before {};
    const bool log_made = !options.log_path.empty() && stat(options.log_path.c_str(), &before) != 0;
    const auto undo = [&](const std::string& error, int status = EXIT_TROUBLE) {
        remove_own_link();
        if (log_made && log_file != stderr) {
            unlink(options.log_path.c_str());
        }
        return fail(status, error);
    };
    if (!options.log_path.empty() && (log_file = open_output(options.log_path)) == nullptr) {
        log_file = stderr;
        return undo("cannot write the log " + options.log_path + ": " + std::strerror(errno));
    }
    if (const std::string error = same_file_error(options); !error.empty()) {
        return undo(error, EXIT_USAGE);
    }
    if (!options.record_path.empty()) {
        record = open_output(options.record_path);
        if (record == nullptr) {
            return undo("cannot write the record " + options.record_path + ": " +
                        std::strerror(errno));
        }
        std::fputs(record_header().c_str(), record);
        check_written(record, "the record");
    }

    if (own_pty) {
        int number = 0;
        if (parse_port_name(options.port.c_str(), &number) != PORT_NAME_NUMBER) {
            log_line("[warn]:tervalo opens only names of the form COM<n>, not %s",
                     options.port.c_str());
        }
        print_line("[info]:tervalo-sim ready: %s -> %s\n", options.port.c_str(),
                   link.terminal_path.c_str());
    } else {
        print_line("[info]:tervalo-sim ready on %s\n", options.open_port.c_str());
    }
    check_output();
    serve(options, own_pty ? &link : nullptr, record);
}
