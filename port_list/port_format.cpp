#include <algorithm>
#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "console/outside_text.h"
#include "port_list/port_format.h"
#include "port_list/port_list.h"

void copy_text(std::span<char> field, const char* text) {
    if (field.empty()) {
        return;
    }
    const std::size_t length = std::min(std::strlen(text), field.size() - 1);
    std::memcpy(field.data(), text, length);
    field[length] = '\0';
}

void append_text(std::span<char> field, const char* separator, const char* text) {
    if (*text == '\0') {
        return;
    }
    const std::size_t used = std::strlen(field.data());
    const std::span<char> rest = field.subspan(used);
    if (used == 0) {
        copy_text(rest, text);
        return;
    }
    std::snprintf(rest.data(), rest.size(), "%s%s", separator, text);
}

void sort_ports(port_list& list) {
    std::sort(list.ports.begin(), list.ports.begin() + static_cast<long>(list.count),
              [](const listed_port& a, const listed_port& b) { return a.order < b.order; });
}

listed_port* add_port(port_list& list) {
    if (list.count >= list.ports.size()) {
        return nullptr;
    }
    listed_port& port = list.ports[list.count++];
    port = listed_port{};
    return &port;
}

namespace {

constexpr std::size_t PORT_LINE_SIZE =
    PORT_NAMES_SIZE + 2 * PORT_PATH_SIZE + 3 * PORT_TEXT_SIZE + 64;

void format_port_line(const listed_port& port, std::span<char, PORT_LINE_SIZE> line) {
    line[0] = '\0';
    append_text(line, "", port.com_names.data());
    append_text(line, " -> ", port.device.data());
    append_text(line, ": ", port.about.data());
    append_text(line, ", ", port.by_id.data());
    append_text(line, "; ", port.held.data());
    if (port.make_com_name[0] != '\0') {
        // On Linux the device's path is a port name too; a COM name is shorter to type.
        append_text(line, "; no COM name: use the path, or make one: ", port.make_com_name.data());
    }
}

}  // namespace

void print_port_list(const port_list& list) {
    if (list.count == 0) {
        print_text("no serial ports found\n");
        return;
    }
    static std::array<char, PORT_LINE_SIZE> line;
    // Names from sysfs, the registry, links and other processes, made safe for the terminal.
    static std::array<char, 4 * PORT_LINE_SIZE> shown;
    for (std::size_t i = 0; i < list.count; ++i) {
        format_port_line(list.ports[i], line);
        print_text("%s\n", safe_line(line.data(), shown));
    }
}
