#include "sim/sim_options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <sstream>
#include <string>
#include <string_view>

#include "link/link_protocol.h"

namespace {

constexpr int EVERY_MAX = 1000000;

bool parse_int(std::string_view text, long long low, long long high, long long& value) {
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    return error == std::errc() && stop == end && value >= low && value <= high;
}

std::string parse_fault_list(std::string_view list, std::vector<fault_kind>& faults) {
    faults.clear();
    if (list == "all") {
        faults.assign(std::begin(ALL_FAULTS), std::end(ALL_FAULTS));
        return "";
    }
    while (true) {
        const std::size_t comma = list.find(',');
        const std::string_view name = list.substr(0, comma);
        const std::optional<fault_kind> fault = fault_from_name(name);
        if (!fault || *fault == fault_kind::none) {
            return "unknown fault '" + std::string(name) + "' (see --help)";
        }
        faults.push_back(*fault);
        if (comma == std::string_view::npos) {
            return "";
        }
        list.remove_prefix(comma + 1);
    }
}

bool is_plain_file_name(std::string_view name) {
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.size() < 256;
}

// What parsing carries from one option to the next.
struct parse_state {
    sim_options& options;
    bool fault_given = false;
};

// Every option: its name, the name of its value (empty for a flag), its --help lines
// (continuation lines after a line feed) and how it is applied. An applied option
// returns an empty string, or what is wrong with its value.
struct option_entry {
    std::string_view name;
    std::string_view value_name;
    std::string_view help;
    std::string (*apply)(std::string_view value, parse_state& state);
};

constexpr std::array<option_entry, 14> OPTIONS{{
    {"--port", "NAME",
     "name of the pseudo-terminal link made in the working\ndirectory (default COM1)",
     [](std::string_view value, parse_state& state) -> std::string {
         if (!is_plain_file_name(value)) {
             return "--port needs a plain file name, not '" + std::string(value) + "'";
         }
         state.options.port = value;
         return "";
     }},
    {"--replace", "", "replace an existing symlink of that name",
     [](std::string_view, parse_state& state) -> std::string {
         state.options.replace_link = true;
         return "";
     }},
    {"--open", "NAME",
     "use an existing serial port instead, named as for tervalo\n(COM<n>), with tervalo's line "
     "settings",
     [](std::string_view value, parse_state& state) -> std::string {
         if (value.empty()) {
             return "--open needs a port name";
         }
         state.options.open_port = value;
         return "";
     }},
    {"--text", "TEXT", "reply payload (default \"reply <n>\" for the n-th greeting)",
     [](std::string_view value, parse_state& state) -> std::string {
         if (value.empty() || value.size() > PAYLOAD_MAX) {
             return "--text needs 1 to 65534 bytes";
         }
         state.options.text = value;
         return "";
     }},
    {"--delay", "MS", "wait before each reply, 0 to 900 (default 0)",
     [](std::string_view value, parse_state& state) -> std::string {
         long long number = 0;
         if (!parse_int(value, 0, DELAY_MAX_MS, number)) {
             return "--delay needs a number of milliseconds from 0 to 900";
         }
         state.options.delay_ms = static_cast<int>(number);
         return "";
     }},
    {"--fault", "LIST", "faults to inject, comma-separated, or \"all\"",
     [](std::string_view value, parse_state& state) -> std::string {
         state.fault_given = true;
         return parse_fault_list(value, state.options.faults);
     }},
    {"--every", "N", "every N-th cycle gets the next fault of the list (default 1)",
     [](std::string_view value, parse_state& state) -> std::string {
         long long number = 0;
         if (!parse_int(value, 1, EVERY_MAX, number)) {
             return "--every needs a number from 1 to 1000000";
         }
         state.options.every = static_cast<int>(number);
         return "";
     }},
    {"--mix", "SEED",
     "faults at random from the list (all if none given), seeded;\na fault is always followed "
     "by a good cycle",
     [](std::string_view value, parse_state& state) -> std::string {
         long long number = 0;
         if (!parse_int(value, 0, UINT32_MAX, number)) {
             return "--mix needs a seed from 0 to 4294967295";
         }
         state.options.mix_seed = static_cast<std::uint32_t>(number);
         return "";
     }},
    {"--log", "FILE", "log to FILE instead of standard error",
     [](std::string_view value, parse_state& state) -> std::string {
         if (value.empty()) {
             return "--log needs a file name";
         }
         state.options.log_path = value;
         return "";
     }},
    {"--record", "FILE",
     "write a record of every cycle to FILE: what was sent and what\ntervalo should print",
     [](std::string_view value, parse_state& state) -> std::string {
         if (value.empty()) {
             return "--record needs a file name";
         }
         state.options.record_path = value;
         return "";
     }},
    {"--paced", "",
     "send each reply as fast as a line at the speed the tool set\ncarries it, a millisecond's "
     "worth a write",
     [](std::string_view, parse_state& state) -> std::string {
         state.options.paced = true;
         return "";
     }},
    {"--control", "FILE",
     "take a new plan from FILE whenever it changes: --fault,\n--every, --mix, --delay and "
     "--text, or nothing for intact\nreplies; from the next greeting on, the link kept",
     [](std::string_view value, parse_state& state) -> std::string {
         if (value.empty()) {
             return "--control needs a file name";
         }
         state.options.control_path = value;
         return "";
     }},
    {"--help", "", "this text",
     [](std::string_view, parse_state& state) -> std::string {
         state.options.help = true;
         return "";
     }},
    {"--version", "", "print the version",
     [](std::string_view, parse_state& state) -> std::string {
         state.options.version = true;
         return "";
     }},
}};

const option_entry* find_option(std::string_view name) {
    for (const option_entry& entry : OPTIONS) {
        if (entry.name == name) {
            return &entry;
        }
    }
    return nullptr;
}

// The option lines of --help: name and value in a column of their own, help beside.
std::string option_lines() {
    constexpr std::size_t HELP_COLUMN = 19;
    std::string lines;
    for (const option_entry& entry : OPTIONS) {
        std::string named("  ");
        named += entry.name;
        if (!entry.value_name.empty()) {
            named += ' ';
            named += entry.value_name;
        }
        named.resize(std::max(HELP_COLUMN, named.size() + 1), ' ');
        lines += named;
        for (const char c : entry.help) {
            lines += c;
            if (c == '\n') {
                lines.append(HELP_COLUMN, ' ');
            }
        }
        lines += '\n';
    }
    return lines;
}

}  // namespace

const char* usage_text() {
    static const std::string usage =
        "usage: tervalo-sim [options]\n"
        "Plays the device side of tervalo's serial link: answers every greeting frame\n"
        "with a response frame, intact or with a fault injected.\n"
        "\n" +
        option_lines() +
        "\n"
        "faults: silence late bad-check length-0 length-1 bad-escape other-type noise\n"
        "        raw-noise gap split unsolicited largest\n"
        "Standard output carries the ready line and the frame reader's warnings about\n"
        "malformed greetings; the log carries a line per greeting and per reply.\n";
    return usage.c_str();
}

std::string parse_options(int argc, const char* const* argv, sim_options& options) {
    parse_state state{options};
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        std::optional<std::string_view> inline_value;
        if (const std::size_t equals = name.find('=');
            name.starts_with("--") && equals != std::string_view::npos) {
            inline_value = name.substr(equals + 1);
            name = name.substr(0, equals);
        }
        const option_entry* option = find_option(name);
        if (option == nullptr) {
            return "unknown option '" + std::string(argv[i]) + "' (see --help)";
        }
        std::string_view value;
        if (option->value_name.empty()) {
            if (inline_value) {
                return std::string(name) + " takes no value";
            }
        } else if (inline_value) {
            value = *inline_value;
        } else if (i + 1 < argc) {
            value = argv[++i];
        } else {
            return std::string(name) + " needs a value";
        }
        if (std::string error = option->apply(value, state); !error.empty()) {
            return error;
        }
    }
    if (options.mix_seed && !state.fault_given) {
        options.faults.assign(std::begin(ALL_FAULTS), std::end(ALL_FAULTS));
    }
    return "";
}

std::string parse_plan(const std::string& text, sim_options& options) {
    std::vector<std::string> words{"tervalo-sim"};
    std::istringstream split(text);
    for (std::string word; split >> word;) {
        words.push_back(word);
    }
    std::vector<const char*> argv;
    argv.reserve(words.size());
    for (const std::string& word : words) {
        argv.push_back(word.c_str());
    }
    sim_options plan;
    if (std::string error = parse_options(static_cast<int>(argv.size()), argv.data(), plan);
        !error.empty()) {
        return error;
    }
    // Only what shapes the replies: the link, the files and the pace stay the run's.
    const sim_options untouched;
    if (plan.port != untouched.port || plan.replace_link || !plan.open_port.empty() ||
        !plan.log_path.empty() || !plan.record_path.empty() || plan.paced ||
        !plan.control_path.empty() || plan.help || plan.version) {
        return "a plan takes only --fault, --every, --mix, --delay and --text";
    }
    options.text = plan.text;
    options.delay_ms = plan.delay_ms;
    options.faults = plan.faults;
    options.every = plan.every;
    options.mix_seed = plan.mix_seed;
    return "";
}

fault_kind fault_for_cycle(const sim_options& options, std::uint64_t cycle, fault_kind previous,
                           std::mt19937& random) {
    if (options.faults.empty()) {
        return fault_kind::none;
    }
    if (options.mix_seed) {
        // Both draws are taken every cycle, so the stream stays in step with the cycle
        // count and one seed always gives the same run.
        const bool heads = random() % 2 == 0;
        const std::size_t pick = random() % options.faults.size();
        return heads && previous == fault_kind::none ? options.faults[pick] : fault_kind::none;
    }
    const auto every = static_cast<std::uint64_t>(options.every);
    if (cycle % every != 0) {
        return fault_kind::none;
    }
    return options.faults[(cycle / every - 1) % options.faults.size()];
}
