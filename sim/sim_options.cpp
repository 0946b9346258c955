#include "sim/sim_options.h"

#include <charconv>
#include <string_view>

#include "link/link_protocol.h"

namespace {

constexpr int EVERY_MAX = 1000000;

const char* const USAGE =
    "usage: tervalo-sim [options]\n"
    "Plays the device side of tervalo's serial link: answers every greeting frame\n"
    "with a response frame, intact or with a fault injected.\n"
    "\n"
    "  --port NAME      name of the pseudo-terminal link made in the working\n"
    "                   directory (default COM1)\n"
    "  --replace        replace an existing symlink of that name\n"
    "  --open NAME      use an existing serial port instead, named as for tervalo\n"
    "                   (COM<n>), with tervalo's line settings\n"
    "  --text TEXT      reply payload (default \"reply <n>\" for the n-th greeting)\n"
    "  --delay MS       wait before each reply, 0 to 900 (default 0)\n"
    "  --fault LIST     faults to inject, comma-separated, or \"all\"\n"
    "  --every N        every N-th cycle gets the next fault of the list (default 1)\n"
    "  --mix SEED       faults at random from the list (all if none given), seeded;\n"
    "                   a fault is always followed by a good cycle\n"
    "  --log FILE       log to FILE instead of standard error\n"
    "  --record FILE    write a record of every cycle to FILE: what was sent and what\n"
    "                   tervalo should print\n"
    "  --help           this text\n"
    "\n"
    "faults: silence late bad-check length-0 length-1 bad-escape other-type noise\n"
    "        raw-noise gap split unsolicited largest\n"
    "Standard output carries the ready line and the frame reader's warnings about\n"
    "malformed greetings; the log carries a line per greeting and per reply.\n";

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

}  // namespace

const char* usage_text() {
    return USAGE;
}

std::string parse_options(int argc, const char* const* argv, sim_options& options) {
    bool fault_given = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        std::optional<std::string_view> inline_value;
        if (const std::size_t equals = option.find('=');
            option.starts_with("--") && equals != std::string_view::npos) {
            inline_value = option.substr(equals + 1);
            option = option.substr(0, equals);
        }
        const bool flag = option == "--help" || option == "--replace";
        if (flag) {
            if (inline_value) {
                return std::string(option) + " takes no value";
            }
            (option == "--help" ? options.help : options.replace_link) = true;
            continue;
        }
        const bool known = option == "--port" || option == "--open" || option == "--text" ||
                           option == "--delay" || option == "--fault" || option == "--every" ||
                           option == "--mix" || option == "--log" || option == "--record";
        if (!known) {
            return "unknown option '" + std::string(argv[i]) + "' (see --help)";
        }
        if (!inline_value && i + 1 >= argc) {
            return std::string(option) + " needs a value";
        }
        const std::string_view value = inline_value ? *inline_value : std::string_view(argv[++i]);
        long long number = 0;
        if (option == "--port") {
            if (!is_plain_file_name(value)) {
                return "--port needs a plain file name, not '" + std::string(value) + "'";
            }
            options.port = value;
        } else if (option == "--open") {
            if (value.empty()) {
                return "--open needs a port name";
            }
            options.open_port = value;
        } else if (option == "--text") {
            if (value.empty() || value.size() > PAYLOAD_MAX) {
                return "--text needs 1 to 65534 bytes";
            }
            options.text = value;
        } else if (option == "--delay") {
            if (!parse_int(value, 0, DELAY_MAX_MS, number)) {
                return "--delay needs a number of milliseconds from 0 to 900";
            }
            options.delay_ms = static_cast<int>(number);
        } else if (option == "--fault") {
            if (std::string error = parse_fault_list(value, options.faults); !error.empty()) {
                return error;
            }
            fault_given = true;
        } else if (option == "--every") {
            if (!parse_int(value, 1, EVERY_MAX, number)) {
                return "--every needs a number from 1 to 1000000";
            }
            options.every = static_cast<int>(number);
        } else if (option == "--mix") {
            if (!parse_int(value, 0, UINT32_MAX, number)) {
                return "--mix needs a seed from 0 to 4294967295";
            }
            options.mix_seed = static_cast<std::uint32_t>(number);
        } else if (option == "--log" || option == "--record") {
            if (value.empty()) {
                return std::string(option) + " needs a file name";
            }
            (option == "--log" ? options.log_path : options.record_path) = value;
        }
    }
    if (options.mix_seed && !fault_given) {
        options.faults.assign(std::begin(ALL_FAULTS), std::end(ALL_FAULTS));
    }
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
