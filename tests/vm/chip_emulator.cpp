// Runs inside the test guest: plays a USB-serial chip on a FunctionFS function, so that
// the kernel binds the chip's own driver (ch341, cp210x, pl2303) to it over dummy_hcd. The
// chip's far side is a pseudo-terminal, where tervalo-sim plays the device.
//
// usage: chip_emulator CHIP FFS_DIR PTY_LINK LOG
//   CHIP     ch340, cp2102, cp2102n, pl2303ta or pl2303g
//   FFS_DIR  where the function's FunctionFS is mounted (configfs holds VID:PID)
//   PTY_LINK made a link to the far side's pseudo-terminal
//   LOG      one line per change of the line the driver asks for, with its time:
//            "<microseconds> rate=923077 data=8 parity=N stop=1 flow=none dtr=0 rts=0"
// Prints "ready" once the function's descriptors are in, so its gadget can be bound.
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

struct line {
    long rate = 0;
    int data = 8;
    char parity = 'N';
    const char* stop = "1";
    const char* flow = "none";
    bool dtr = false;
    bool rts = false;
};

constexpr int ANY = -1;

// A fixed answer to an IN request; a request no row answers is stalled.
struct reply {
    std::uint8_t type;  // bRequestType
    std::uint8_t request;
    int value;  // wValue, or ANY
    bytes data;
};

// A chip: its endpoints, its fixed replies, how its OUT requests (with their data) set
// the line, and the IN requests answered from the line (get returns false for others).
struct chip {
    const char* name;
    std::uint8_t endpoints[3];  // bEndpointAddress in the chip's order, 0 for none
    std::uint8_t interrupt;     // which of them is an interrupt endpoint
    std::vector<reply> replies;
    void (*set)(const usb_ctrlrequest&, const bytes&, line&);
    bool (*get)(const usb_ctrlrequest&, const line&, bytes&);
};

std::uint32_t le32_at(const bytes& data, std::size_t at) {
    return data.size() < at + 4
               ? 0
               : static_cast<std::uint32_t>(data[at] | data[at + 1] << 8 | data[at + 2] << 16 |
                                            data[at + 3] << 24);
}

const char* stop_text(int code) {
    return code == 0 ? "1" : code == 1 ? "1.5" : "2";
}

char parity_text(int code) {
    return "NOEMS"[code < 5 ? code : 0];
}

// CH340: register writes (0x9A) with two registers in wValue and their bytes in wIndex;
// the modem lines inverted (0xA4).
void ch340_set(const usb_ctrlrequest& r, const bytes&, line& l) {
    if (r.bRequest == 0x9A && r.wValue == 0x1312) {
        // rate = 48 MHz / (2^(12 - 3 * prescaler - fact) * divisor)
        const int ps = r.wIndex & 3;
        const int fact = (r.wIndex >> 2) & 1;
        const int divisor = 0x100 - (r.wIndex >> 8);
        l.rate = std::lround(48e6 / ((1 << (12 - 3 * ps - fact)) * divisor));
    } else if (r.bRequest == 0x9A && r.wValue == 0x2518) {
        const int lcr = r.wIndex & 0xFF;
        l.data = 5 + (lcr & 3);
        l.parity = (lcr & 0x08) == 0   ? 'N'
                   : (lcr & 0x20) != 0 ? ((lcr & 0x10) != 0 ? 'S' : 'M')
                                       : ((lcr & 0x10) != 0 ? 'E' : 'O');
        l.stop = (lcr & 0x04) != 0 ? "2" : "1";
    } else if (r.bRequest == 0x9A && r.wValue == 0x2727) {
        l.flow = (r.wIndex & 1) != 0 ? "rts-cts" : "none";
    } else if (r.bRequest == 0xA4) {
        l.dtr = (r.wValue & 0x20) == 0;
        l.rts = (r.wValue & 0x40) == 0;
    }
}

bool no_get(const usb_ctrlrequest&, const line&, bytes&) {
    return false;
}

// CP210x: interface requests. Parts that compute their rate are sent it already made.
void cp210x_set(const usb_ctrlrequest& r, const bytes& data, line& l) {
    switch (r.bRequest) {
        case 0x1E:  // SET_BAUDRATE
            l.rate = le32_at(data, 0);
            break;
        case 0x03:  // SET_LINE_CTL
            l.data = (r.wValue >> 8) & 0x0F;
            l.parity = parity_text((r.wValue >> 4) & 0x0F);
            l.stop = stop_text(r.wValue & 0x0F);
            break;
        case 0x13: {  // SET_FLOW: control handshake, flow replace, limits
            const std::uint32_t handshake = le32_at(data, 0);
            const std::uint32_t replace = le32_at(data, 4);
            l.flow = (handshake & 0x08) != 0 ? "rts-cts"
                     : (replace & 0x03) != 0 ? "xon-xoff"
                                             : "none";
            l.dtr = (handshake & 0x03) == 1;
            l.rts = ((replace >> 6) & 0x03) == 1;
            break;
        }
        case 0x07:  // SET_MHS
            if ((r.wValue & 0x0100) != 0) {
                l.dtr = (r.wValue & 0x01) != 0;
            }
            if ((r.wValue & 0x0200) != 0) {
                l.rts = (r.wValue & 0x02) != 0;
            }
            break;
        default:
            break;
    }
}

bool cp210x_get(const usb_ctrlrequest& r, const line& l, bytes& out) {
    if (r.bRequestType != 0xC1) {
        return false;
    }
    switch (r.bRequest) {
        case 0x14:  // GET_FLOW: as set
            out = bytes(16, 0);
            out[0] = l.dtr ? 1 : 0;
            out[4] = l.rts ? 0x40 : 0;
            return true;
        case 0x10:  // GET_COMM_STATUS: nothing queued
            out = bytes(19, 0);
            return true;
        default:
            return false;
    }
}

// PL2303: the line as 7 bytes (rate, stop bits, parity, data bits), DTR and RTS in
// SET_CONTROL; flow control in vendor register 0 (TA) or 0x0A (G).
void pl2303_set(const usb_ctrlrequest& r, const bytes& data, line& l) {
    if (r.bRequestType == 0x21 && r.bRequest == 0x20 && data.size() == 7) {
        l.rate = le32_at(data, 0);
        l.stop = stop_text(data[4]);
        l.parity = parity_text(data[5]);
        l.data = data[6];
    } else if (r.bRequestType == 0x21 && r.bRequest == 0x22) {
        l.dtr = (r.wValue & 0x01) != 0;
        l.rts = (r.wValue & 0x02) != 0;
    } else if (r.bRequestType == 0x40 && r.bRequest == 0x01 && r.wValue == 0) {
        l.flow = r.wIndex == 0x61 ? "rts-cts" : r.wIndex == 0xC0 ? "xon-xoff" : "none";
    } else if (r.bRequestType == 0x40 && r.bRequest == 0x80 && r.wValue == 0x0A) {
        l.flow = (r.wIndex & 0x1C) == 0x18   ? "rts-cts"
                 : (r.wIndex & 0x1C) == 0x0C ? "xon-xoff"
                                             : "none";
    }
}

bool pl2303_get(const usb_ctrlrequest& r, const line& l, bytes& out) {
    if (r.bRequestType != 0xA1 || r.bRequest != 0x21) {
        return false;
    }
    const auto rate = static_cast<std::uint32_t>(l.rate);
    const std::string_view stop = l.stop;
    out = {static_cast<std::uint8_t>(rate),
           static_cast<std::uint8_t>(rate >> 8),
           static_cast<std::uint8_t>(rate >> 16),
           static_cast<std::uint8_t>(rate >> 24),
           static_cast<std::uint8_t>(stop == "1"     ? 0
                                     : stop == "1.5" ? 1
                                                     : 2),
           static_cast<std::uint8_t>(std::string_view("NOEMS").find(l.parity)),
           static_cast<std::uint8_t>(l.data)};
    return true;
}

const chip CHIPS[] = {
    // Version 0x31 (line control in one register), modem status, the break register.
    {"ch340",
     {0x82, 0x02, 0x81},
     0x81,
     {{0xC0, 0x5F, ANY, {0x31, 0x00}},
      {0xC0, 0x95, 0x0706, {0xFF, 0xEE}},
      {0xC0, 0x95, ANY, {0x00, 0x00}}},
     ch340_set,
     no_get},
    // Part numbers 0x02 (CP2102) and 0x20 (CP2102N); its firmware version.
    {"cp2102", {0x81, 0x01, 0}, 0, {{0xC0, 0xFF, 0x370B, {0x02}}}, cp210x_set, cp210x_get},
    {"cp2102n",
     {0x81, 0x01, 0},
     0,
     {{0xC0, 0xFF, 0x370B, {0x20}}, {0xC0, 0xFF, 0x0010, {1, 0, 8}}},
     cp210x_set,
     cp210x_get},
    // TA answers the status read that tells it from the G types, which stall it and
    // read their registers with request 0x81.
    {"pl2303ta", {0x81, 0x02, 0x83}, 0x81, {{0xC0, 0x01, ANY, {0x00}}}, pl2303_set, pl2303_get},
    {"pl2303g", {0x81, 0x02, 0x83}, 0x81, {{0xC0, 0x81, ANY, {0x00}}}, pl2303_set, pl2303_get},
};

FILE* log_file = nullptr;
line current;

// Logs the line when the last request changed it.
void log_line() {
    static std::string last;
    const line& l = current;
    char text[128] = {};
    std::snprintf(text, sizeof text, "rate=%ld data=%d parity=%c stop=%s flow=%s dtr=%d rts=%d",
                  l.rate, l.data, l.parity, l.stop, l.flow, l.dtr ? 1 : 0, l.rts ? 1 : 0);
    if (last == text) {
        return;
    }
    last = text;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    std::fprintf(log_file, "%ld %s\n", now.tv_sec * 1000000L + now.tv_nsec / 1000, text);
    std::fflush(log_file);
}

void append(bytes& out, const void* data, std::size_t size) {
    const auto* at = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), at, at + size);
}

// The function's descriptors at full speed: one vendor interface, the chip's
// endpoints in its order, 64-byte packets.
bytes descriptors(const chip& c) {
    bytes body;
    std::uint32_t count = 1;
    usb_interface_descriptor interface {};
    interface.bLength = USB_DT_INTERFACE_SIZE;
    interface.bDescriptorType = USB_DT_INTERFACE;
    interface.bInterfaceClass = USB_CLASS_VENDOR_SPEC;
    for (const std::uint8_t address : c.endpoints) {
        interface.bNumEndpoints =
            static_cast<std::uint8_t>(interface.bNumEndpoints + (address != 0 ? 1 : 0));
    }
    append(body, &interface, sizeof interface);
    for (const std::uint8_t address : c.endpoints) {
        if (address == 0) {
            continue;
        }
        const bool interrupt = address == c.interrupt;
        usb_endpoint_descriptor_no_audio endpoint{};
        endpoint.bLength = USB_DT_ENDPOINT_SIZE;
        endpoint.bDescriptorType = USB_DT_ENDPOINT;
        endpoint.bEndpointAddress = address;
        endpoint.bmAttributes = interrupt ? USB_ENDPOINT_XFER_INT : USB_ENDPOINT_XFER_BULK;
        // Little-endian, as the guest (x86-64) is.
        endpoint.wMaxPacketSize = interrupt ? 8 : 64;
        endpoint.bInterval = interrupt ? 1 : 0;
        append(body, &endpoint, sizeof endpoint);
        ++count;
    }
    usb_functionfs_descs_head_v2 head{};
    head.magic = FUNCTIONFS_DESCRIPTORS_MAGIC_V2;
    head.flags = FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP;
    head.length = static_cast<std::uint32_t>(sizeof head + sizeof count + body.size());
    bytes all;
    append(all, &head, sizeof head);
    append(all, &count, sizeof count);
    all.insert(all.end(), body.begin(), body.end());
    return all;
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// Copies from one descriptor to another for ever. Endpoint files fail while the gadget
// is unbound or the host resets it; the copy waits a moment and goes on.
void pump(int from, int to, std::size_t chunk) {
    std::vector<std::uint8_t> buffer(chunk);
    for (;;) {
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n <= 0 || !write_all(to, buffer.data(), static_cast<std::size_t>(n))) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

// One control request: the data stage of an OUT request is read and applied; an IN
// request is answered from the table or the chip's state, else stalled.
void answer(int ep0, const chip& c, const usb_ctrlrequest& r) {
    const bool in = (r.bRequestType & USB_DIR_IN) != 0;
    if (!in) {
        bytes data(r.wLength);
        const ssize_t n = read(ep0, data.data(), data.size());
        data.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        c.set(r, data, current);
        log_line();
        return;
    }
    bytes out;
    bool known = c.get(r, current, out);
    for (const reply& row : c.replies) {
        if (!known && row.type == r.bRequestType && row.request == r.bRequest &&
            (row.value == ANY || row.value == r.wValue)) {
            out = row.data;
            known = true;
        }
    }
    if (!known) {
        // A read on an IN request stalls it; the read fails, as it should.
        std::uint8_t none = 0;
        if (read(ep0, &none, 0) == 0) {
            std::fprintf(stderr, "chip_emulator: request %02x not stalled\n", r.bRequest);
        }
        return;
    }
    out.resize(std::min<std::size_t>(out.size(), r.wLength));
    // A host that gave up on the request (its time-out) leaves the write failing.
    if (write(ep0, out.data(), out.size()) != static_cast<ssize_t>(out.size())) {
        std::fprintf(stderr, "chip_emulator: reply to %02x lost: %s\n", r.bRequest,
                     std::strerror(errno));
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: chip_emulator CHIP FFS_DIR PTY_LINK LOG\n");
        return 2;
    }
    const chip* found = nullptr;
    for (const chip& c : CHIPS) {
        found = std::string_view(argv[1]) == c.name ? &c : found;
    }
    log_file = std::fopen(argv[4], "w");
    const std::string dir = argv[2];
    const int ep0 = open((dir + "/ep0").c_str(), O_RDWR);
    if (found == nullptr || log_file == nullptr || ep0 < 0) {
        std::fprintf(stderr, "chip_emulator: unknown chip, or cannot open %s/ep0 or the log\n",
                     dir.c_str());
        return 1;
    }
    const chip& c = *found;
    const bytes descs = descriptors(c);
    usb_functionfs_strings_head strings{};
    strings.magic = FUNCTIONFS_STRINGS_MAGIC;
    strings.length = sizeof strings;
    if (!write_all(ep0, descs.data(), descs.size()) ||
        !write_all(ep0, reinterpret_cast<const std::uint8_t*>(&strings), sizeof strings)) {
        std::fprintf(stderr, "chip_emulator: descriptors refused: %s\n", std::strerror(errno));
        return 1;
    }

    // The far side: raw, and held open here so that it never hangs up.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    termios raw{};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        tcgetattr(master, &raw) != 0) {
        std::fprintf(stderr, "chip_emulator: no pseudo-terminal\n");
        return 1;
    }
    cfmakeraw(&raw);
    tcsetattr(master, TCSANOW, &raw);
    const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    unlink(argv[3]);
    if (slave < 0 || symlink(ptsname(master), argv[3]) != 0) {
        std::fprintf(stderr, "chip_emulator: cannot link %s\n", argv[3]);
        return 1;
    }

    // Endpoint files in descriptor order: ep1, ep2, ... The interrupt endpoint only has
    // to be there; the chip never reports a modem status change.
    int bulk_in = -1;
    int bulk_out = -1;
    int number = 0;
    for (const std::uint8_t address : c.endpoints) {
        if (address == 0) {
            continue;
        }
        const std::string path = dir + "/ep" + std::to_string(++number);
        if (address == c.interrupt) {
            continue;
        }
        ((address & USB_DIR_IN) != 0 ? bulk_in : bulk_out) = open(path.c_str(), O_RDWR);
    }
    if (bulk_in < 0 || bulk_out < 0) {
        std::fprintf(stderr, "chip_emulator: no bulk endpoint files in %s\n", dir.c_str());
        return 1;
    }
    std::thread(pump, bulk_out, master, 512).detach();
    std::thread(pump, master, bulk_in, 512).detach();
    std::printf("ready\n");
    std::fflush(stdout);

    for (;;) {
        usb_functionfs_event event{};
        const ssize_t n = read(ep0, &event, sizeof event);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n != sizeof event) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            continue;
        }
        if (event.type == FUNCTIONFS_SETUP) {
            answer(ep0, c, event.u.setup);
        }
    }
}
