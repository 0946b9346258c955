// The Linux port list over a fake machine: a sysfs tree laid out as the kernel lays out
// UARTs and USB serial adapters, a /dev with by-id links, and a working directory with
// COM links, all in a temporary directory.
#include <gtest/gtest.h>
#include <cstdlib>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "port_list/port_list.h"
#include "port_list/sysfs_ports.h"

namespace {

namespace fs = std::filesystem;

struct usb_device {
    std::string bus_port;  // where it is plugged in: 1-2 is port 2 of bus 1
    std::string tty;       // ttyUSB<n> (a usb-serial port) or ttyACM<n> (on the interface)
    std::string driver;    // ftdi_sio, cp210x, cdc_acm
    std::string vendor, product_id, manufacturer, product, serial;
};

class fake_machine {
  public:
    fake_machine() {
        std::string pattern = (fs::temp_directory_path() / "tervalo-ports-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        for (const fs::path& dir : {sys() / "class/tty", dev() / "serial/by-id", work(), proc()}) {
            fs::create_directories(dir);
        }
        // Present on every machine, and never listed: no device behind them.
        fs::create_directories(sys() / "devices/virtual/tty/tty0");
        fs::create_directory_symlink(sys() / "devices/virtual/tty/tty0", sys() / "class/tty/tty0");
    }
    ~fake_machine() { fs::remove_all(root_); }
    fake_machine(const fake_machine&) = delete;
    fake_machine& operator=(const fake_machine&) = delete;

    fs::path sys() const { return root_ / "sys"; }
    fs::path dev() const { return root_ / "dev"; }
    fs::path work() const { return root_ / "work"; }
    fs::path proc() const { return root_ / "proc"; }  // no processes: only the consoles

    // ttyS<number> of the 8250 driver; type 0 is a node with no UART behind it.
    void uart(int number, int type, const std::string& io_port) const {
        const std::string name = "ttyS" + std::to_string(number);
        const fs::path driver = sys() / "devices/platform/serial8250";
        const fs::path tty = driver / "tty" / name;
        fs::create_directories(tty);
        fs::create_directory_symlink("../..", tty / "device");
        put(tty / "type", std::to_string(type));
        put(tty / "port", io_port);
        fs::create_directory_symlink(tty, sys() / "class/tty" / name);
        put(dev() / name, "");
    }

    void usb(const usb_device& usb) const {
        const fs::path device = sys() / "devices/pci0000:00/0000:00:14.0/usb1" / usb.bus_port;
        put(device / "idVendor", usb.vendor);
        put(device / "idProduct", usb.product_id);
        put(device / "manufacturer", usb.manufacturer);
        put(device / "product", usb.product);
        if (!usb.serial.empty()) {
            put(device / "serial", usb.serial);
        }
        // usb-serial drivers put a port device under the interface; cdc_acm binds the
        // interface itself.
        const fs::path interface = device / (device.filename().string() + ":1.0");
        const bool acm = usb.tty.starts_with("ttyACM");
        const fs::path tty_device = acm ? interface : interface / usb.tty;
        const fs::path tty = tty_device / "tty" / usb.tty;
        fs::create_directories(tty);
        fs::create_directory_symlink("../..", tty / "device");
        const fs::path driver = sys() / "bus/usb/drivers" / usb.driver;
        fs::create_directories(driver);
        fs::create_directory_symlink(driver, tty_device / "driver");
        fs::create_directory_symlink(tty, sys() / "class/tty" / usb.tty);
        put(dev() / usb.tty, "");
    }

    // As udev makes them: relative, from /dev/serial/by-id.
    void by_id(const std::string& name, const std::string& tty) const {
        fs::create_symlink("../../" + tty, dev() / "serial/by-id" / name);
    }

    void link(const std::string& name, const fs::path& target) const {
        fs::create_symlink(target, work() / name);
    }

    static void put(const fs::path& file, const std::string& text) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << text << (text.empty() ? "" : "\n");
    }

  private:
    fs::path root_;
};

const usb_device FTDI{"1-1",  "ttyUSB0", "ftdi_sio",        "0403",
                      "6001", "FTDI",    "FT232R USB UART", "A50285BI"};
const std::string FTDI_BY_ID = "usb-FTDI_FT232R_USB_UART_A50285BI-if00-port0";
const usb_device CP2102{"1-2",  "ttyUSB1",      "cp210x", "10c4",
                        "ea60", "Silicon Labs", "CP2102", "0001"};
const std::string CP2102_BY_ID = "usb-Silicon_Labs_CP2102_0001-if00-port0";
const usb_device PICO{"1-3", "ttyACM0", "cdc_acm", "2e8a", "000a", "Raspberry Pi", "Pico", ""};

struct listing_case {
    const char* what;
    std::function<void(const fake_machine&)> build;
    std::vector<std::string> lines;  // "{dev}" stands for the fake /dev
};

TEST(SysfsPortList, ListsWhatIsThereWithTheComNamesThatReachIt) {
    const std::vector<listing_case> cases{
        {"UARTs only where the kernel knows a type, in numeric order",
         [](const fake_machine& m) {
             m.uart(10, 14, "0x0");
             m.uart(0, 4, "0x3F8");
             m.uart(1, 0, "0x2F8");
             m.uart(2, 3, "0x3E8");
         },
         {"COM1 -> {dev}/ttyS0: 16550A UART, I/O port 0x3F8",
          "COM3 -> {dev}/ttyS2: 16550 UART, I/O port 0x3E8",
          "COM11 -> {dev}/ttyS10: NS16550A UART"}},
        {"an FTDI adapter reached by COM links, one through its by-id name",
         [](const fake_machine& m) {
             m.usb(FTDI);
             m.by_id(FTDI_BY_ID, "ttyUSB0");
             m.link("COM7", m.dev() / "ttyUSB0");
             m.link("COM3", m.dev() / "serial/by-id" / FTDI_BY_ID);
             // `tervalo COM012` means COM12, so this link reaches nothing.
             m.link("COM012", m.dev() / "ttyUSB0");
         },
         {"COM3, COM7 -> {dev}/ttyUSB0: ftdi_sio, USB 0403:6001, FTDI FT232R USB UART, "
          "serial A50285BI, {dev}/serial/by-id/" +
          FTDI_BY_ID}},
        {"ports without a COM name get a free one suggested",
         [](const fake_machine& m) {
             m.uart(0, 4, "0x3F8");
             m.uart(1, 4, "0x2F8");
             m.usb(PICO);
             m.usb(CP2102);
             m.by_id(CP2102_BY_ID, "ttyUSB1");
             // COM1 now leads to the Pico, not to ttyS0; COM3 is a file that is in the way.
             m.link("COM1", m.dev() / "ttyACM0");
             fake_machine::put(m.work() / "COM3", "notes");
         },
         {"{dev}/ttyS0: 16550A UART, I/O port 0x3F8; no COM name: use the path, or make one: "
          "ln -s {dev}/ttyS0 COM4",
          "COM2 -> {dev}/ttyS1: 16550A UART, I/O port 0x2F8",
          "{dev}/ttyUSB1: cp210x, USB 10c4:ea60, Silicon Labs CP2102, serial 0001, "
          "{dev}/serial/by-id/" +
              CP2102_BY_ID + "; no COM name: use the path, or make one: ln -s {dev}/serial/by-id/" +
              CP2102_BY_ID + " COM5",
          "COM1 -> {dev}/ttyACM0: cdc_acm, USB 2e8a:000a, Raspberry Pi Pico"}},
        {"many COM links: the lowest-numbered whole, and how many more",
         [](const fake_machine& m) {
             m.usb(FTDI);
             m.usb(CP2102);
             m.uart(0, 4, "0x3F8");
             for (const char* name : {"COM10000004", "COM20", "COM3", "COM5", "COM12", "COM40",
                                      "COM7", "COM8", "COM9", "COM11"}) {
                 m.link(name, m.dev() / "ttyUSB0");
             }
             for (int i = 9; i >= 1; --i) {
                 m.link("COM100000000" + std::to_string(i), m.dev() / "ttyUSB1");
             }
             // Opens itself, but is too long to show whole.
             m.link("COM2" + std::string(70, 'x'), m.dev() / "ttyS0");
             m.link("COM6", m.dev() / "ttyS0");
         },
         {"COM1, COM6 and 1 more -> {dev}/ttyS0: 16550A UART, I/O port 0x3F8",
          "COM3, COM5, COM7, COM8, COM9, COM11, COM12, COM20 and 2 more -> {dev}/ttyUSB0: "
          "ftdi_sio, USB 0403:6001, FTDI FT232R USB UART, serial A50285BI",
          "COM1000000001, COM1000000002, COM1000000003 and 6 more -> {dev}/ttyUSB1: cp210x, "
          "USB 10c4:ea60, Silicon Labs CP2102, serial 0001"}},
        {"the console marked; a COM link to a missing target",
         [](const fake_machine& m) {
             m.uart(0, 4, "0x3F8");
             fs::remove(m.dev() / "ttyS0");
             fs::create_symlink("/dev/null", m.dev() / "ttyS0");
             fake_machine::put(m.proc() / "consoles", "ttyS0                -W- (EC p a)    1:3");
             m.link("COM5", "/nonexistent/tty");
         },
         {"COM1 -> {dev}/ttyS0: 16550A UART, I/O port 0x3F8; the system console (ttyS0 in "
          "/proc/consoles)",
          "COM5 -> /nonexistent/tty: missing"}},
        {"no ports: empty UART nodes and virtual ttys only",
         [](const fake_machine& m) {
             m.uart(0, 0, "0x3F8");
             m.uart(1, 0, "0x2F8");
         },
         {"no serial ports found"}},
    };
    for (const listing_case& c : cases) {
        fake_machine machine;
        c.build(machine);
        std::string expected;
        for (std::string line : c.lines) {
            for (std::size_t at = line.find("{dev}"); at != std::string::npos;
                 at = line.find("{dev}")) {
                line.replace(at, 5, machine.dev().string());
            }
            expected += line + "\n";
        }
        const std::string sys = machine.sys().string();
        const std::string dev = machine.dev().string();
        const std::string work = machine.work().string();
        const std::string proc = machine.proc().string();
        static port_list list;
        list_sysfs_ports(sysfs_roots{sys.c_str(), dev.c_str(), work.c_str(), proc.c_str()}, list);
        testing::internal::CaptureStdout();
        print_port_list(list);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), expected) << c.what;
    }
}

}  // namespace
