#include "app/options.h"

#include <getopt.h>

#include <array>
#include <cstdio>
#include <string_view>

#include "app/help_options.h"
#include "console/console.h"
#include "console/outside_text.h"
#include "link/output_lines.h"
#include "port_list/port_list.h"
#include "serial/serial_port.h"

namespace {

// --help: the usage text, what the tool does, the options, the exit statuses and where
// the manual is. The options themselves are in help_options.txt, which the Windows
// read-me quotes too. The line's speed and data bits are printed from WANTED_LINE; this
// is how the text names the rest of it.
static_assert(WANTED_LINE.parity == 'N' && WANTED_LINE.stop_halves == 2 && !WANTED_LINE.rts_cts &&
                  !WANTED_LINE.xon_xoff,
              "the line as the help text names it");
// With the usage text, the baud rate and data bits, the options, the exit statuses and
// the manual's place, in this order.
constexpr const char* OPTIONS_INTRO_FORMAT =
    "%s"
    "\n"
    "Greets the device on com_port once a second (or at the pace -i and -W set) and\n"
    "prints its answer, until stopped with Ctrl-C or until a bounded run (-c, -w) is\n"
    "over. com_port is COM<n> or, on Linux, a device path such as /dev/ttyUSB0;\n"
    "--list shows which COM name reaches which port. The line: %lu baud (-b sets\n"
    "another), %u data bits, no parity, 1 stop bit, no flow control.\n"
    "\n"
    "%s%s\n%s\n";
constexpr const char* EXIT_STATUSES =
    "\n"
    "exit status: 0 a bounded run that passed, --help, --version, --list; 1 a bounded\n"
    "run that failed, or standard output that could not be written; 255 no port name,\n"
    "a bad option, or a port or file that could not be opened. A run stopped from\n"
    "outside ends as the stop ends it.\n";

// Values the options take, each with what it accepts in words for the line that refuses
// a value. Decimal values are scaled to whole units: places is how many decimals.
struct value_rule {
    const char* takes;
    int places;
    std::uint64_t min;  // scaled
    std::uint64_t max;  // scaled
};

constexpr std::uint64_t RUN_LIMIT = 1'000'000'000;
constexpr value_rule COUNT_RULE{"a whole number of greetings from 1 to 1000000000", 0, 1,
                                RUN_LIMIT};
constexpr value_rule DEADLINE_RULE{"a number of seconds from 1 to 1000000000, to the millisecond",
                                   3, 1000, RUN_LIMIT * 1000};
// -i and -W share -w's reading of seconds, to the millisecond; the pause and the wait
// each fit an int of milliseconds.
constexpr value_rule INTERVAL_RULE{"a number of seconds from 0 to 1000000, to the millisecond", 3,
                                   0, 1'000'000'000};
constexpr value_rule TIMEOUT_RULE{"a number of seconds from 0.01 to 1000000, to the millisecond", 3,
                                  10, 1'000'000'000};
// The driver decides which rates it makes; the read-back says when it kept another.
constexpr value_rule BAUD_RULE{"a whole number of baud from 50 to 20000000", 0, 50, 20'000'000};
constexpr value_rule MAX_LOSS_RULE{"a percentage from 0 to 100, to six decimals", 6, 0,
                                   100'000'000};

enum option_code : int {
    POSITIONAL = 1,  // getopt_long's code for a non-option with "-" leading the short options
    MAX_LOSS = 256,
    LOG,
    METRICS,
    LABEL,
    LIST,
    WAIT,
    FAIL_FAST,
};

struct option_text {
    int code;
    const char* name;        // as shown in a refusal: "--count (-c)"
    const value_rule* rule;  // nullptr: a file name, or no value
};

constexpr std::array<option_text, 16> NAMES{{
    {'c', "--count (-c)", &COUNT_RULE},
    {'w', "--deadline (-w)", &DEADLINE_RULE},
    {'i', "--interval (-i)", &INTERVAL_RULE},
    {'W', "--timeout (-W)", &TIMEOUT_RULE},
    {'b', "--baud (-b)", &BAUD_RULE},
    {MAX_LOSS, "--max-loss", &MAX_LOSS_RULE},
    {'q', "--quiet (-q)", nullptr},
    {'D', "--timestamps (-D)", nullptr},
    {LOG, "--log", nullptr},
    {METRICS, "--metrics", nullptr},
    {LABEL, "--label", nullptr},
    {LIST, "--list", nullptr},
    {WAIT, "--wait", nullptr},
    {FAIL_FAST, "--fail-fast", nullptr},
    {'h', "--help (-h)", nullptr},
    {'V', "--version (-V)", nullptr},
}};

constexpr std::array<option, 17> LONG_OPTIONS{{
    {"count", required_argument, nullptr, 'c'},
    {"deadline", required_argument, nullptr, 'w'},
    {"interval", required_argument, nullptr, 'i'},
    {"timeout", required_argument, nullptr, 'W'},
    {"baud", required_argument, nullptr, 'b'},
    {"max-loss", required_argument, nullptr, MAX_LOSS},
    {"quiet", no_argument, nullptr, 'q'},
    {"timestamps", no_argument, nullptr, 'D'},
    {"log", required_argument, nullptr, LOG},
    {"metrics", required_argument, nullptr, METRICS},
    {"label", required_argument, nullptr, LABEL},
    {"list", no_argument, nullptr, LIST},
    {"wait", no_argument, nullptr, WAIT},
    {"fail-fast", no_argument, nullptr, FAIL_FAST},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
}};

// "-" first: every argument that is not an option comes back in its place as
// POSITIONAL, so options may follow the port name whatever POSIXLY_CORRECT says (glibc
// and MinGW-w64 both honour it). ":" next: a missing value is told apart from an
// unknown option, and getopt prints nothing of its own.
constexpr const char* SHORT_OPTIONS = "-:c:w:i:W:b:qDhV";

const option_text* text_of(int code) {
    for (const option_text& text : NAMES) {
        if (text.code == code) {
            return &text;
        }
    }
    return nullptr;
}

// Reads a decimal number with at most rule.places decimals, scaled by 10^places, within
// the rule's bounds. Digits only: no sign, blank or exponent.
bool read_value(std::string_view text, const value_rule& rule, std::uint64_t* value) {
    std::uint64_t scaled = 0;
    int decimals = -1;  // -1 until the point
    bool digits = false;
    for (const char c : text) {
        if (c == '.' && decimals < 0) {
            decimals = 0;
            continue;
        }
        if (c < '0' || c > '9' || (decimals >= 0 && ++decimals > rule.places) ||
            scaled > rule.max) {
            return false;
        }
        scaled = scaled * 10 + static_cast<std::uint64_t>(c - '0');
        digits = true;
    }
    for (int place = decimals < 0 ? 0 : decimals; place < rule.places; ++place) {
        scaled *= 10;
        if (scaled > rule.max) {
            return false;
        }
    }
    *value = scaled;
    return digits && scaled >= rule.min && scaled <= rule.max;
}

// Takes --label NAME=VALUE into options; false, having said why, when it is refused.
bool take_label(const char* pair, run_options& options) {
    const std::string_view text(pair);
    const std::size_t equals = text.find('=');
    if (equals == std::string_view::npos) {
        print_error("tervalo: --label takes NAME=VALUE, not \"%.40s\"\n", pair);
        return false;
    }
    const std::string_view name = text.substr(0, equals);
    const int shown = static_cast<int>(name.size() < 40 ? name.size() : 40);
    if (const char* problem = lab_label_problem(name); problem != nullptr) {
        print_error("tervalo: --label %.*s: %s\n", shown, name.data(), problem);
        return false;
    }
    for (std::size_t i = 0; i < options.label_count; ++i) {
        if (std::string_view(options.labels[i]).starts_with(text.substr(0, equals + 1))) {
            print_error("tervalo: --label %.*s: given twice\n", shown, name.data());
            return false;
        }
    }
    if (options.label_count == options.labels.size()) {
        std::fprintf(stderr, "tervalo: --label: at most %zu labels\n", options.labels.size());
        return false;
    }
    options.labels[options.label_count++] = pair;
    return true;
}

// Carries out --help, --version or --list.
void run_action(int action) {
    switch (action) {
        case 'h':
            print_text(OPTIONS_INTRO_FORMAT, USAGE_TEXT,
                       static_cast<unsigned long>(WANTED_LINE.baud),
                       unsigned{WANTED_LINE.data_bits}, HELP_OPTIONS, EXIT_STATUSES, HELP_MANUAL);
            return;
        case 'V':
            print_text("tervalo %s\n", TERVALO_VERSION);
            return;
        default: {
            // Static: the list is large for a stack, and the process ends right after.
            static port_list ports;
            list_system_ports(ports);
            print_port_list(ports);
        }
    }
}

}  // namespace

bool read_command_line(int argc, char** argv, run_options& options, int* exit_status) {
    *exit_status = START_FAILED_STATUS;
    int action = 0;  // the first of --help, --version and --list
    bool max_loss_given = false;
    const char* extra = nullptr;  // the first argument after the port name
    int extras = 0;
    opterr = 0;
    for (;;) {
        const int code = getopt_long(argc, argv, SHORT_OPTIONS, LONG_OPTIONS.data(), nullptr);
        if (code == -1) {
            break;
        }
        const option_text* text = text_of(code);
        std::uint64_t value = 0;
        switch (code) {
            case POSITIONAL:
                // The first names the port; the rest are ignored, as they always were, but
                // named: a forgotten -c must not go unnoticed.
                if (options.port == nullptr) {
                    options.port = optarg;
                } else if (extras++ == 0) {
                    extra = optarg;
                }
                break;
            case 'c':
            case 'w':
            case 'i':
            case 'W':
            case 'b':
            case MAX_LOSS:
                if (optarg == nullptr || !read_value(optarg, *text->rule, &value)) {
                    print_error("tervalo: %s takes %s, not \"%.40s\"\n", text->name,
                                text->rule->takes, optarg);
                    return false;
                }
                if (code == 'c') {
                    options.count = value;
                } else if (code == 'w') {
                    options.deadline_ms = static_cast<std::int64_t>(value);
                } else if (code == 'i') {
                    options.interval_ms = static_cast<std::int64_t>(value);
                } else if (code == 'W') {
                    options.timeout_ms = static_cast<std::int64_t>(value);
                } else if (code == 'b') {
                    options.baud = static_cast<std::uint32_t>(value);
                } else {
                    options.max_loss_millionths = value;
                    max_loss_given = true;
                }
                break;
            case 'q':
                options.quiet = true;
                break;
            case 'D':
                options.timestamps = true;
                break;
            case LOG:
                options.log_path = optarg;
                break;
            case METRICS:
                options.metrics_path = optarg;
                break;
            case LABEL:
                if (!take_label(optarg, options)) {
                    return false;
                }
                break;
            case WAIT:
                options.wait = true;
                break;
            case FAIL_FAST:
                options.fail_fast = true;
                break;
            case LIST:
            case 'h':
            case 'V':
                action = action == 0 ? code : action;
                break;
            default: {
                // ':' or '?': a known option without its value or with one it does not
                // take (which getopt reports as either), or an unknown option.
                const option_text* known = optopt != 0 ? text_of(optopt) : nullptr;
                if (known == nullptr) {
                    const std::array<char, 3> letter{'-', static_cast<char>(optopt), '\0'};
                    print_error(
                        "tervalo: unknown option \"%s\"; tervalo --help lists the "
                        "options\n",
                        optopt != 0 ? letter.data() : argv[optind - 1]);
                } else if (known->rule != nullptr) {
                    std::fprintf(stderr, "tervalo: %s takes %s; none given\n", known->name,
                                 known->rule->takes);
                } else if (known->code == LABEL) {
                    std::fprintf(stderr, "tervalo: --label takes NAME=VALUE; none given\n");
                } else if (known->code == LOG || known->code == METRICS) {
                    std::fprintf(stderr, "tervalo: %s takes a file name; none given\n",
                                 known->name);
                } else {
                    std::fprintf(stderr, "tervalo: %s takes no value\n", known->name);
                }
                return false;
            }
        }
    }
    // After "--", the first argument left is the port name.
    for (; optind < argc; ++optind) {
        if (options.port == nullptr) {
            options.port = argv[optind];
        } else if (extras++ == 0) {
            extra = argv[optind];
        }
    }
    if (options.label_count > 0 && options.metrics_path == nullptr) {
        std::fprintf(stderr, "tervalo: --label labels the --metrics file; there is none\n");
        return false;
    }
    if (action != 0) {
        run_action(action);
        *exit_status = 0;
        return false;
    }
    if (options.port == nullptr) {
        print_line("%s", USAGE_TEXT);
        return false;
    }
    if (max_loss_given && !bounded(options)) {
        std::fprintf(stderr, "tervalo: --max-loss judges a bounded run; give -c or -w too\n");
        return false;
    }
    // Rather than cut the first wait short, which would count an answer that came in the
    // time the user allowed as lost: no later greeting would be sent anyway, since each
    // is sent only when its whole wait ends by the deadline.
    if (options.deadline_ms > 0 && options.timeout_ms > options.deadline_ms) {
        std::fprintf(stderr,
                     "tervalo: --timeout (-W) is longer than --deadline (-w): no greeting could "
                     "wait its whole time\n");
        return false;
    }
    if (options.fail_fast && !bounded(options)) {
        std::fprintf(stderr, "tervalo: --fail-fast ends a bounded run early; give -c or -w too\n");
        return false;
    }
    if (extras == 1) {
        print_error("tervalo: ignoring extra argument \"%.40s\"\n", extra);
    } else if (extras > 1) {
        print_error("tervalo: ignoring extra arguments \"%.40s\" and %d more\n", extra, extras - 1);
    }
    return true;
}
