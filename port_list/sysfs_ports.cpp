// The ports are found in /sys/class/tty: every entry with a `device` link is a tty with
// hardware behind it. Only sysfs attributes are read and only links resolved; no tty is
// opened.
#include "port_list/sysfs_ports.h"

#include <fcntl.h>
#include <linux/major.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string_view>

#include "port_list/port_format.h"
#include "serial/device_path.h"
#include "serial/port_messages.h"
#include "serial/posix_device.h"
#include "serial/posix_dir.h"
#include "serial/posix_terminal.h"

namespace {

using path_buffer = std::array<char, PATH_MAX>;

// The kinds of tty listed, in the order they are listed.
enum tty_kind : long { TTY_UART = 0, TTY_USB = 1, TTY_ACM = 2 };

struct tty_prefix {
    tty_kind kind;
    std::string_view prefix;
};
constexpr std::array<tty_prefix, 3> TTY_PREFIXES{
    {{TTY_UART, "ttyS"}, {TTY_USB, "ttyUSB"}, {TTY_ACM, "ttyACM"}}};

// A port's order is its kind times this plus its number, so ttyS2 comes before ttyS10.
constexpr long KIND_STRIDE = 1'000'000;
// The order of a COM link that reaches none of the ports: after them all.
constexpr long LINK_ORDER = LONG_MAX;

// What the kernel's serial type numbers mean; 0 is "unknown", a node with no UART.
constexpr std::array<const char*, 16> UART_TYPES{
    nullptr, "8250",     "16450",  "16550", "16550A", "Cirrus", "16650",    "16650V2",
    "16750", "Startech", "16C950", "16654", "16850",  "RSA",    "NS16550A", "XScale"};

// The kind and number of a tty named <prefix><number>; false for any other tty.
bool parse_tty_name(std::string_view name, tty_kind* kind, long* number) {
    for (const tty_prefix& candidate : TTY_PREFIXES) {
        if (!name.starts_with(candidate.prefix)) {
            continue;
        }
        const std::string_view digits = name.substr(candidate.prefix.size());
        if (digits.empty() || digits.size() > 6) {
            return false;
        }
        long value = 0;
        for (const char c : digits) {
            if (c < '0' || c > '9') {
                return false;
            }
            value = value * 10 + (c - '0');
        }
        *kind = candidate.kind;
        *number = value;
        return true;
    }
    return false;
}

bool join(std::span<char> out, const char* dir, const char* name) {
    const int length = std::snprintf(out.data(), out.size(), "%s/%s", dir, name);
    return length >= 0 && static_cast<std::size_t>(length) < out.size();
}

bool resolve(const char* path, path_buffer& real) {
    return realpath(path, real.data()) != nullptr;
}

bool exists(const char* path) {
    struct stat entry {};
    return lstat(path, &entry) == 0;
}

// Reads the attribute file dir/name into value, without its line end.
bool read_attribute(const char* dir, const char* name, std::span<char> value) {
    path_buffer path{};
    if (!join(path, dir, name)) {
        return false;
    }
    const int fd = open(path.data(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const ssize_t got = read(fd, value.data(), value.size() - 1);
    close(fd);
    if (got < 0) {
        return false;
    }
    auto length = static_cast<std::size_t>(got);
    while (length > 0 && (value[length - 1] == '\n' || value[length - 1] == ' ')) {
        --length;
    }
    value[length] = '\0';
    return true;
}

// Calls visit with the name of every entry of dir but "." and "..".
template <typename Visit>
void for_each_entry_of(const char* dir, Visit visit) {
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    for_each_entry(fd, [&](const char* name) {
        visit(name);
        return true;
    });
    close(fd);
}

// A ttyS port's UART, or false when the node has none.
bool describe_uart(const char* tty_dir, std::span<char> about) {
    std::array<char, 16> type_text{};
    if (!read_attribute(tty_dir, "type", type_text)) {
        return false;
    }
    const long type = std::strtol(type_text.data(), nullptr, 10);
    if (type <= 0) {
        return false;
    }
    const auto index = static_cast<std::size_t>(type);
    if (index < UART_TYPES.size()) {
        std::snprintf(about.data(), about.size(), "%s UART", UART_TYPES[index]);
    } else {
        std::snprintf(about.data(), about.size(), "UART of type %ld", type);
    }
    std::array<char, 32> io_port{};
    if (read_attribute(tty_dir, "port", io_port) && std::strtoul(io_port.data(), nullptr, 0) != 0) {
        append_text(about, ", I/O port ", io_port.data());
    }
    return true;
}

// The USB device a tty's device belongs to: the nearest directory upwards, inside the
// sysfs tree, that has a vendor number.
bool find_usb_device(const path_buffer& device, const path_buffer& sysfs_real, path_buffer& usb) {
    usb = device;
    const std::size_t floor = std::strlen(sysfs_real.data());
    std::array<char, 8> probe{};
    for (;;) {
        if (read_attribute(usb.data(), "idVendor", probe)) {
            return true;
        }
        char* slash = std::strrchr(usb.data(), '/');
        if (slash == nullptr || static_cast<std::size_t>(slash - usb.data()) <= floor) {
            return false;
        }
        *slash = '\0';
    }
}

// A USB port: the driver of its tty's device, and the USB device's numbers and strings.
void describe_usb(const char* tty_dir, const path_buffer& sysfs_real, std::span<char> about) {
    path_buffer link{};
    path_buffer device{};
    if (!join(link, tty_dir, "device") || !resolve(link.data(), device)) {
        return;
    }
    path_buffer driver{};
    if (join(link, device.data(), "driver") && resolve(link.data(), driver)) {
        append_text(about, ", ", std::strrchr(driver.data(), '/') + 1);
    }
    path_buffer usb{};
    if (!find_usb_device(device, sysfs_real, usb)) {
        return;
    }
    std::array<char, 8> vendor{};
    std::array<char, 8> product_id{};
    std::array<char, PORT_TEXT_SIZE> text{};
    read_attribute(usb.data(), "idVendor", vendor);
    read_attribute(usb.data(), "idProduct", product_id);
    std::snprintf(text.data(), text.size(), "USB %s:%s", vendor.data(), product_id.data());
    append_text(about, ", ", text.data());
    std::array<char, PORT_TEXT_SIZE> names{};
    if (read_attribute(usb.data(), "manufacturer", text)) {
        append_text(names, "", text.data());
    }
    if (read_attribute(usb.data(), "product", text)) {
        append_text(names, " ", text.data());
    }
    append_text(about, ", ", names.data());
    if (read_attribute(usb.data(), "serial", text)) {
        append_text(about, ", serial ", text.data());
    }
}

// The /dev/serial/by-id name of the node, the first in sort order when there are
// several, so the line is the same on every run.
void find_by_id(const char* dev_root, const path_buffer& node_real, std::span<char> by_id) {
    path_buffer dir{};
    if (!join(dir, dev_root, "serial/by-id")) {
        return;
    }
    for_each_entry_of(dir.data(), [&](const char* name) {
        path_buffer entry{};
        path_buffer real{};
        if (join(entry, dir.data(), name) && resolve(entry.data(), real) &&
            std::strcmp(real.data(), node_real.data()) == 0 &&
            (by_id[0] == '\0' || std::strcmp(entry.data(), by_id.data()) < 0)) {
            copy_text(by_id, entry.data());
        }
    });
}

// The COM names kept for one port: the lowest-numbered, as many as the names field can
// show whole, and how many more there are.
constexpr std::size_t KEPT_COM_NAMES = 8;
using com_name_text = std::array<char, PORT_NAMES_SIZE>;

struct com_name_set {
    std::array<com_name_text, KEPT_COM_NAMES> kept;
    std::size_t kept_count;
    std::size_t more;  // names left out
};

// COM names in order of their numbers, COM3 before COM10; names of the same number (COM3,
// COM3x) by their text.
bool comes_before(const char* a, const char* b) {
    int a_number = 0;
    int b_number = 0;
    parse_port_name(a, &a_number);
    parse_port_name(b, &b_number);
    return a_number != b_number ? a_number < b_number : std::strcmp(a, b) < 0;
}

// Adds name in its place, dropping the highest-numbered when all places are taken.
void keep_com_name(com_name_set& names, const char* name) {
    if (std::strlen(name) >= sizeof(com_name_text)) {
        ++names.more;  // too long to show whole
        return;
    }
    std::size_t at = names.kept_count;
    if (at == names.kept.size()) {
        ++names.more;
        if (!comes_before(name, names.kept[at - 1].data())) {
            return;
        }
        --at;
    } else {
        ++names.kept_count;
    }
    for (; at > 0 && comes_before(name, names.kept[at - 1].data()); --at) {
        names.kept[at] = names.kept[at - 1];
    }
    copy_text(names.kept[at], name);
}

// The entries of work_dir that `tervalo <entry>` opens and that lead to the node.
void find_com_links(const char* work_dir, const path_buffer& node_real, com_name_set& names) {
    for_each_entry_of(work_dir, [&](const char* name) {
        path_buffer entry{};
        path_buffer real{};
        if (port_name_opens_entry(name) && join(entry, work_dir, name) &&
            resolve(entry.data(), real) && std::strcmp(real.data(), node_real.data()) == 0) {
            keep_com_name(names, name);
        }
    });
}

// As many of the kept names as fit whole, in order, with "and N more" for the rest.
void show_com_names(const com_name_set& names, std::span<char, PORT_NAMES_SIZE> field) {
    for (std::size_t shown = names.kept_count;; --shown) {
        std::array<char, PORT_NAMES_SIZE*(KEPT_COM_NAMES + 1)> text{};
        for (std::size_t i = 0; i < shown; ++i) {
            append_text(text, ", ", names.kept[i].data());
        }
        const std::size_t left_out = names.kept_count - shown + names.more;
        if (left_out > 0) {
            std::array<char, 32> more{};
            std::snprintf(more.data(), more.size(), "%zu more", left_out);
            append_text(text, " and ", more.data());
        }
        if (std::strlen(text.data()) < field.size() || shown == 0) {
            copy_text(field, text.data());
            return;
        }
    }
}

// Whether COM<n> already means something: an entry of work_dir, or a listed UART.
bool com_name_taken(const sysfs_roots& roots, const port_list& list, long n) {
    path_buffer entry{};
    std::snprintf(entry.data(), entry.size(), "%s/COM%ld", roots.work_dir, n);
    if (exists(entry.data())) {
        return true;
    }
    return std::any_of(list.ports.begin(), list.ports.begin() + static_cast<long>(list.count),
                       [n](const listed_port& port) {
                           return port.order == TTY_UART * KIND_STRIDE + builtin_tty_number(n);
                       });
}

// Fills in the COM names that reach each port, and for a port that none reaches, the
// link that would give it a free one.
void name_ports(const sysfs_roots& roots, port_list& list) {
    long free_number = 0;
    for (std::size_t i = 0; i < list.count; ++i) {
        listed_port& port = list.ports[i];
        const long number = port.order % KIND_STRIDE;
        com_name_set names{};
        if (port.order / KIND_STRIDE == TTY_UART) {
            // COM<n> reaches ttyS<n-1> unless an entry of that name is in the way.
            std::array<char, 32> builtin{};
            std::snprintf(builtin.data(), builtin.size(), "COM%lld", builtin_com_number(number));
            path_buffer entry{};
            if (join(entry, roots.work_dir, builtin.data()) && !exists(entry.data())) {
                keep_com_name(names, builtin.data());
            }
        }
        path_buffer node_real{};
        if (resolve(port.device.data(), node_real)) {
            find_com_links(roots.work_dir, node_real, names);
        }
        show_com_names(names, port.com_names);
    }
    for (std::size_t i = 0; i < list.count; ++i) {
        listed_port& port = list.ports[i];
        if (port.com_names[0] != '\0') {
            continue;
        }
        do {
            ++free_number;
        } while (com_name_taken(roots, list, free_number));
        std::snprintf(port.make_com_name.data(), port.make_com_name.size(), "ln -s %s COM%ld",
                      port.by_id[0] != '\0' ? port.by_id.data() : port.device.data(), free_number);
    }
}

// The COM links of work_dir that `tervalo <link>` opens and that reach none of the
// ports listed: a pseudo-terminal (the simulator's), another terminal, a missing target.
void list_other_links(const sysfs_roots& roots, port_list& list) {
    const std::size_t ports = list.count;
    std::array<com_name_text, MAX_LISTED_PORTS> links{};
    std::size_t count = 0;
    for_each_entry_of(roots.work_dir, [&](const char* name) {
        path_buffer entry{};
        path_buffer real{};
        struct stat node {};
        if (count == links.size() || std::strlen(name) >= sizeof(com_name_text) ||
            !port_name_opens_entry(name) || !join(entry, roots.work_dir, name) ||
            lstat(entry.data(), &node) != 0 || !S_ISLNK(node.st_mode)) {
            return;
        }
        const bool to_a_port =
            resolve(entry.data(), real) &&
            std::any_of(list.ports.begin(), list.ports.begin() + static_cast<long>(ports),
                        [&real](const listed_port& port) {
                            path_buffer port_real{};
                            return resolve(port.device.data(), port_real) &&
                                   std::strcmp(port_real.data(), real.data()) == 0;
                        });
        if (!to_a_port) {
            copy_text(links[count++], name);
        }
    });
    std::sort(links.begin(), links.begin() + static_cast<long>(count),
              [](const com_name_text& a, const com_name_text& b) {
                  return comes_before(a.data(), b.data());
              });
    for (std::size_t i = 0; i < count; ++i) {
        listed_port* port = add_port(list);
        path_buffer entry{};
        if (port == nullptr || !join(entry, roots.work_dir, links[i].data())) {
            return;
        }
        port->order = LINK_ORDER;
        copy_text(port->com_names, links[i].data());
        // readlink returns the target's length, without a terminating zero, or -1.
        const ssize_t length = readlink(entry.data(), port->device.data(), port->device.size() - 1);
        port->device[length > 0 ? static_cast<std::size_t>(length) : 0] = '\0';
        struct stat node {};
        const int place = open(entry.data(), O_PATH | O_CLOEXEC);
        if (place < 0) {
            copy_text(port->about, "missing");
        } else if (fstat(place, &node) == 0 && S_ISCHR(node.st_mode) &&
                   major(node.st_rdev) >= UNIX98_PTY_SLAVE_MAJOR &&
                   major(node.st_rdev) < UNIX98_PTY_SLAVE_MAJOR + UNIX98_PTY_MAJOR_COUNT) {
            copy_text(port->about, "pseudo-terminal");
        } else {
            copy_text(port->about, is_terminal_device(place) ? "terminal" : "not a serial device");
        }
        if (place >= 0) {
            close(place);
        }
    }
}

// Who has each listed port: the system console, a session or another program; and who
// plays a pseudo-terminal's device end. One pass over /proc for them all.
void find_port_holders(const sysfs_roots& roots, port_list& list) {
    std::array<dev_t, HOLDERS_AT_ONCE> devices{};
    std::array<std::size_t, HOLDERS_AT_ONCE> port_of{};
    std::size_t count = 0;
    for (std::size_t i = 0; i < list.count && count < devices.size(); ++i) {
        const listed_port& port = list.ports[i];
        // A link's target may be relative to work_dir; stat follows the link to it.
        path_buffer path{};
        if (port.order == LINK_ORDER) {
            join(path, roots.work_dir, port.com_names.data());
        } else {
            copy_text(path, port.device.data());
        }
        // Only a serial device has holders worth naming: who has /dev/null open is no
        // concern of a port's. The ports sysfs lists are; a link may lead anywhere.
        // O_PATH follows a link without opening what it leads to.
        struct stat node {};
        const int place = open(path.data(), O_PATH | O_CLOEXEC);
        if (place >= 0 && (port.order != LINK_ORDER || is_terminal_device(place)) &&
            fstat(place, &node) == 0 && S_ISCHR(node.st_mode)) {
            devices[count] = node.st_rdev;
            port_of[count++] = i;
        }
        if (place >= 0) {
            close(place);
        }
    }
    std::array<device_holders, HOLDERS_AT_ONCE> found{};
    find_holders(roots.proc, std::span(devices).first(count), std::span(found).first(count));
    path_buffer consoles{};
    join(consoles, roots.proc, "consoles");
    for (std::size_t j = 0; j < count; ++j) {
        listed_port& port = list.ports[port_of[j]];
        port_holder holder = found[j].holder;
        find_console(consoles.data(), devices[j], &holder);
        std::array<char, HOLDER_TEXT_SIZE> text{};
        holder_text(holder, text);
        copy_text(port.held, text.data());
        const port_holder& far_end = found[j].far_end;
        if (far_end.kind != HOLDER_NONE) {
            std::snprintf(text.data(), text.size(), " played by %s (pid %d)",
                          far_end.command.data(), far_end.pid);
            append_text(port.about, "", text.data());
        }
    }
}

}  // namespace

void list_sysfs_ports(const sysfs_roots& roots, port_list& list) {
    list.count = 0;
    path_buffer sysfs_real{};
    path_buffer class_dir{};
    if (!resolve(roots.sysfs, sysfs_real) || !join(class_dir, roots.sysfs, "class/tty")) {
        return;
    }
    for_each_entry_of(class_dir.data(), [&](const char* name) {
        tty_kind kind = TTY_UART;
        long number = 0;
        path_buffer tty_dir{};
        path_buffer device_link{};
        // A tty without a device link is virtual: a console, a pseudo-terminal.
        if (!parse_tty_name(name, &kind, &number) || !join(tty_dir, class_dir.data(), name) ||
            !join(device_link, tty_dir.data(), "device") || !exists(device_link.data())) {
            return;
        }
        std::array<char, PORT_TEXT_SIZE> about{};
        if (kind == TTY_UART && !describe_uart(tty_dir.data(), about)) {
            return;
        }
        listed_port* port = add_port(list);
        if (port == nullptr) {
            return;
        }
        port->order = kind * KIND_STRIDE + number;
        join(port->device, roots.dev, name);
        if (kind == TTY_UART) {
            copy_text(port->about, about.data());
            return;
        }
        describe_usb(tty_dir.data(), sysfs_real, port->about);
        path_buffer node_real{};
        if (resolve(port->device.data(), node_real)) {
            find_by_id(roots.dev, node_real, port->by_id);
        }
    });
    sort_ports(list);
    name_ports(roots, list);
    list_other_links(roots, list);
    find_port_holders(roots, list);
}
