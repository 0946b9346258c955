#include "serial/port_messages.h"

#include <cstdio>
#include <cstring>

namespace {

using error_text = std::array<char, 256>;

bool close_rates(std::uint32_t kept, std::uint32_t asked) {
    const std::uint64_t off = kept > asked ? kept - asked : asked - kept;
    return off * 1000 <= static_cast<std::uint64_t>(asked) * RATE_TOLERANCE_PER_MILLE;
}

bool same_line(const line_state& a, const line_state& b) {
    return close_rates(a.baud, b.baud) && a.data_bits == b.data_bits && a.parity == b.parity &&
           a.stop_halves == b.stop_halves && a.rts_cts == b.rts_cts && a.xon_xoff == b.xon_xoff;
}

const char* stop_bits_text(std::uint8_t halves) {
    switch (halves) {
        case 2:
            return "1";
        case 3:
            return "1.5";
        default:
            return "2";
    }
}

// snprintf cuts a line that does not fit (a name or path near the limit); it must still
// end in its line feed.
void end_line(message_line& out) {
    const std::size_t length = std::strlen(out.data());
    if (length == out.size() - 1 && out[length - 1] != '\n') {
        out[length - 1] = '\n';
    }
}

// Joining the dialout group helps only where that group may open the device; elsewhere
// the owner is named, so the user knows whom to ask.
void permission_message(const char* name, const port_report& report, message_line& out) {
    const char* path = report.path.data();
    const device_owner& owner = report.owner;
    if (!owner.known) {
        std::snprintf(out.data(), out.size(), "tervalo: %s: permission denied (%s)\n", name, path);
    } else if (std::strcmp(owner.group.data(), "dialout") == 0) {
        std::snprintf(out.data(), out.size(),
                      "tervalo: %s: permission denied (%s); add yourself to the dialout "
                      "group (sudo usermod -aG dialout $USER) and log in again\n",
                      name, path);
    } else {
        std::snprintf(out.data(), out.size(),
                      "tervalo: %s: permission denied (%s); owned by %s (group %s, mode %03o)\n",
                      name, path, owner.user.data(), owner.group.data(), owner.mode);
    }
    end_line(out);
}

// ModemManager and brltty take USB serial adapters for their own as they are plugged in;
// the one short way to stop each.
struct holder_hint {
    const char* command;
    const char* hint;
};
constexpr holder_hint HOLDER_HINTS[] = {
    {"ModemManager", "; a udev rule setting ENV{ID_MM_DEVICE_IGNORE}=\"1\" keeps it off the port"},
    {"brltty", "; without a Braille display, disable it: sudo systemctl mask brltty brltty-udev"},
};

const char* hint_for(const port_holder& holder) {
    for (const holder_hint& known : HOLDER_HINTS) {
        if (std::strcmp(holder.command.data(), known.command) == 0) {
            return known.hint;
        }
    }
    return "";
}

// Who holds the device, for a refusal: "<path> is in use by ..." or, when the name typed
// is that path, only "in use by ...".
void held_message(const char* name, const port_report& report, message_line& out) {
    const char* path = report.path.data();
    const bool typed_path = std::strcmp(name, path) == 0;
    if (report.holder.kind == HOLDER_NONE) {
        std::snprintf(out.data(), out.size(), "tervalo: %s: in use by another program%s%s%s%s\n",
                      name, typed_path ? "" : " (", typed_path ? "" : path, typed_path ? "" : ")",
                      report.holders_hidden ? "; /proc hides which from this user" : "");
    } else {
        std::array<char, HOLDER_TEXT_SIZE> holder{};
        holder_text(report.holder, holder);
        std::snprintf(out.data(), out.size(), "tervalo: %s: %s%s%s%s\n", name,
                      typed_path ? "" : path, typed_path ? "" : " is ", holder.data(),
                      hint_for(report.holder));
    }
    end_line(out);
}

}  // namespace

void holder_text(const port_holder& holder, std::span<char, HOLDER_TEXT_SIZE> out) {
    switch (holder.kind) {
        case HOLDER_CONSOLE:
            std::snprintf(out.data(), out.size(), "the system console (%s in /proc/consoles)",
                          holder.command.data());
            return;
        case HOLDER_SESSION:
            std::snprintf(out.data(), out.size(), "in use as the terminal of %s (pid %d)",
                          holder.command.data(), holder.pid);
            return;
        case HOLDER_OPENER:
            std::snprintf(out.data(), out.size(), "in use by %s (pid %d)", holder.command.data(),
                          holder.pid);
            return;
        case HOLDER_NONE:
            out[0] = '\0';
            return;
    }
}

void open_failure_message(const char* name, const port_report& report, message_line& out) {
    const char* path = report.path.data();
    switch (report.failure) {
        case OPEN_BAD_NAME:
            std::snprintf(out.data(), out.size(), "tervalo: %s: not a port name; use %s\n", name,
                          PORT_NAME_HELP);
            end_line(out);
            return;
        case OPEN_NO_DEVICE:
            std::snprintf(out.data(), out.size(), "tervalo: %s: no such device (%s)\n", name, path);
            end_line(out);
            return;
        case OPEN_PERMISSION:
            permission_message(name, report, out);
            return;
        case OPEN_IN_USE:
        case OPEN_TERMINAL_HELD:
            held_message(name, report, out);
            return;
        case OPEN_NOT_SERIAL:
            std::snprintf(out.data(), out.size(), "tervalo: %s: not a serial device (%s)\n", name,
                          path);
            end_line(out);
            return;
        case OPEN_OK:
        case OPEN_OTHER:
            break;
    }
    error_text reason{};
    system_error_text(report.system_error, reason);
    std::snprintf(out.data(), out.size(), "tervalo: %s: cannot open (%s): %s\n", name, path,
                  reason.data());
    end_line(out);
}

bool line_kept_message(const char* name, const line_state& line, const line_state& wanted,
                       message_line& out) {
    if (same_line(line, wanted)) {
        return false;
    }
    // Every line asked for is WANTED_LINE at some speed.
    static_assert(!WANTED_LINE.rts_cts && !WANTED_LINE.xon_xoff,
                  "the line asked for is named as one without flow control");
    std::snprintf(out.data(), out.size(),
                  "tervalo: %s: the driver kept %lu baud %u%c%s%s%s (asked for %lu %u%c%s "
                  "without flow control)\n",
                  name, static_cast<unsigned long>(line.baud), line.data_bits, line.parity,
                  stop_bits_text(line.stop_halves), line.rts_cts ? ", RTS/CTS flow control" : "",
                  line.xon_xoff ? ", XON/XOFF flow control" : "",
                  static_cast<unsigned long>(wanted.baud), wanted.data_bits, wanted.parity,
                  stop_bits_text(wanted.stop_halves));
    end_line(out);
    return true;
}

void waiting_message(const char* name, const port_report& report, message_line& out) {
    open_failure_message(name, report, out);
    constexpr char WAITING[] = "; waiting for it, trying every cycle\n";
    const std::size_t length = std::strlen(out.data()) - 1;  // without its line feed
    std::snprintf(out.data() + length, out.size() - length, "%s", WAITING);
    end_line(out);
}

void builtin_port_message(const char* name, const char* path, message_line& out) {
    std::snprintf(out.data(), out.size(),
                  "tervalo: %s: no link %s here; opened the built-in port %s\n", name, name, path);
    end_line(out);
}

void port_found_message(const char* name, const char* path, message_line& out) {
    std::snprintf(out.data(), out.size(), "tervalo: %s: port found (%s)\n", name, path);
    end_line(out);
}

void port_lost_message(const char* name, int system_error, message_line& out) {
    error_text reason{};
    system_error_text(system_error, reason);
    std::snprintf(out.data(), out.size(), "tervalo: %s: port lost (%s); reopening it every cycle\n",
                  name, reason.data());
    end_line(out);
}

void port_reopened_message(const char* name, const char* path, message_line& out) {
    std::snprintf(out.data(), out.size(), "tervalo: %s: port reopened (%s)\n", name, path);
    end_line(out);
}

void waiting_for_link_message(const char* name, const port_report& report, message_line& out) {
    open_failure_message(name, report, out);
    const std::size_t length = std::strlen(out.data()) - 1;  // without its line feed
    std::snprintf(out.data() + length, out.size() - length,
                  "; waiting for a link %s here, trying every cycle\n", name);
    end_line(out);
}
