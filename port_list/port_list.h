// The serial ports this machine has and the COM names that reach them, for
// `tervalo --list`. Found without opening any port: opening one toggles the modem lines
// on some drivers. Each platform has its own backend file; the build picks one.
#pragma once

#include <array>
#include <cstddef>

// More ports than this are left out; their text is cut at these sizes.
inline constexpr std::size_t MAX_LISTED_PORTS = 64;
inline constexpr std::size_t PORT_NAMES_SIZE = 64;
inline constexpr std::size_t PORT_PATH_SIZE = 256;
inline constexpr std::size_t PORT_TEXT_SIZE = 512;

// One port. Text fields are zero-terminated, empty when unknown.
struct listed_port {
    long order;                                      // the list is sorted by this
    std::array<char, PORT_NAMES_SIZE> com_names;     // "COM3", "COM3, COM7", "COM3 and 9 more"
    std::array<char, PORT_PATH_SIZE> device;         // "/dev/ttyUSB0"; empty on Windows
    std::array<char, PORT_TEXT_SIZE> about;          // what it is
    std::array<char, PORT_PATH_SIZE> by_id;          // a name that survives re-plugging
    std::array<char, PORT_TEXT_SIZE> held;           // who else has it (Linux only)
    std::array<char, PORT_TEXT_SIZE> make_com_name;  // the command that gives it one
};

struct port_list {
    std::array<listed_port, MAX_LISTED_PORTS> ports;
    std::size_t count;
};

// Fills list with this machine's ports, sorted.
void list_system_ports(port_list& list);

// Prints one line per port, or one line saying there are none:
//   COM1 -> /dev/ttyS0: 16550A UART, I/O port 0x3F8; the system console (ttyS0 in ...)
//   COM3 -> /dev/ttyUSB0: ftdi_sio, USB 0403:6001, FTDI FT232R USB UART, serial A1,
//   /dev/serial/by-id/...; in use by tervalo (pid 4242)
//   /dev/ttyACM0: cdc_acm, ...; no COM name: use the path, or make one: ln -s ... COM4
//   COM7 -> /dev/pts/3: pseudo-terminal played by tervalo-sim (pid 4243)
//   COM5: USB Serial Port (COM5)
void print_port_list(const port_list& list);
