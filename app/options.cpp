#include "app/options.h"

#include <string_view>

#include "console/console.h"
#include "link/output_lines.h"
#include "port_list/port_list.h"

namespace {

// Follows the usage text in --help.
constexpr const char* OPTIONS =
    "\n"
    "Greets the device on com_port once a second and prints its answer until stopped\n"
    "with Ctrl-C. --list shows which COM name reaches which port.\n"
    "\n"
    "options:\n"
    "  --list     list this machine's serial ports and the COM names that reach them\n"
    "  --help     print this text\n"
    "  --version  print the version\n"
    "\n"
    "manual: man tervalo\n";

}  // namespace

bool run_option(int argc, char** argv, int* exit_status) {
    if (argc < 2) {
        print_line("%s", USAGE_TEXT);
        *exit_status = -1;
        return true;
    }
    const std::string_view option = argv[1];
    *exit_status = 0;
    if (option == "--help") {
        print_line("%s%s", USAGE_TEXT, OPTIONS);
    } else if (option == "--version") {
        print_line("tervalo %s\n", TERVALO_VERSION);
    } else if (option == "--list") {
        // Static: the list is large for a stack, and the process ends right after.
        static PortList ports;
        list_system_ports(ports);
        print_port_list(ports);
    } else {
        return false;
    }
    return true;
}
