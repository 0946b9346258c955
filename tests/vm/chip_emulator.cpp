// In the test guest: a USB-serial chip on FunctionFS, so that the kernel binds the chip's
// own driver over dummy_hcd; its far side a pseudo-terminal, for tervalo-sim. Only what the
// drivers read is answered. Prints "ready" once its gadget can be bound.
// usage: chip_emulator ch340|cp2102|pl2303ta FFS_DIR PTY_LINK
#include <fcntl.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
constexpr int ANY = -1;

// A fixed answer to an IN request; one that no row answers is stalled.
struct reply {
    std::uint8_t type;
    std::uint8_t request;
    int value;
    bytes data;
};

// Its endpoints (bEndpointAddress) in the chip's order, its interrupt endpoint or 0.
struct chip {
    const char* name;
    bytes endpoints;
    std::uint8_t interrupt;
    std::vector<reply> replies;
};

// clang-format off
const chip CHIPS[] = {
    // Version 0x31 (line control in one register), modem status, the break register.
    {"ch340", {0x82, 0x02, 0x81}, 0x81, {{0xC0, 0x5F, ANY, {0x31, 0x00}},
        {0xC0, 0x95, 0x0706, {0xFF, 0xEE}}, {0xC0, 0x95, ANY, {0x00, 0x00}}}},
    // Part number 0x02; flow settings and queue status all clear.
    {"cp2102", {0x81, 0x01}, 0, {{0xC0, 0xFF, 0x370B, {0x02}}, {0xC1, 0x14, ANY, bytes(16)},
        {0xC1, 0x10, ANY, bytes(19)}}},
    // A TA answers the status read that tells it from the G types; the line it reads back.
    {"pl2303ta", {0x81, 0x02, 0x83}, 0x81, {{0xC0, 0x01, ANY, {0x00}}, {0xA1, 0x21, ANY, bytes(7)}}},
};
// clang-format on

// 32-bit words, little-endian as the guest (x86-64) is.
bytes words(std::initializer_list<std::uint32_t> values) {
    bytes out;
    for (const std::uint32_t value : values) {
        for (int shift = 0; shift < 32; shift += 8) {
            out.push_back(static_cast<std::uint8_t>(value >> shift));
        }
    }
    return out;
}

// At full speed: one vendor interface, the chip's endpoints, 64-byte packets.
bytes descriptors(const chip& c) {
    const auto count = static_cast<std::uint8_t>(c.endpoints.size());
    bytes body{
        USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, count, USB_CLASS_VENDOR_SPEC, 0, 0, 0};
    for (const std::uint8_t address : c.endpoints) {
        const bool interrupt = address == c.interrupt;
        body.insert(body.end(), {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, address,
                                 static_cast<std::uint8_t>(interrupt ? USB_ENDPOINT_XFER_INT
                                                                     : USB_ENDPOINT_XFER_BULK),
                                 static_cast<std::uint8_t>(interrupt ? 8 : 64), 0,
                                 static_cast<std::uint8_t>(interrupt ? 1 : 0)});
    }
    bytes all =
        words({FUNCTIONFS_DESCRIPTORS_MAGIC_V2, static_cast<std::uint32_t>(16 + body.size()),
               FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_ALL_CTRL_RECIP, count + 1U});
    all.insert(all.end(), body.begin(), body.end());
    return all;
}

// Copies for ever; endpoint files fail while the gadget is unbound or reset.
void pump(int from, int to) {
    std::vector<std::uint8_t> buffer(512);
    for (;;) {
        const ssize_t n = read(from, buffer.data(), buffer.size());
        if (n <= 0 || write(to, buffer.data(), static_cast<std::size_t>(n)) != n) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}

// An OUT request's data is read; an IN request answered from the table, else stalled (by
// a read). The CP2102 reports DTR and RTS as last set (SET_MHS), as its driver reads them
// back for TIOCMGET.
void answer(int ep0, const chip& c, const usb_ctrlrequest& r) {
    static std::uint8_t modem = 0;
    bytes data(r.wLength);
    if ((r.bRequestType & USB_DIR_IN) == 0) {
        if (read(ep0, data.data(), data.size()) >= 0 && r.bRequestType == 0x41 &&
            r.bRequest == 0x07) {
            modem = static_cast<std::uint8_t>((modem & ~(r.wValue >> 8)) |
                                              (r.wValue & (r.wValue >> 8) & 3));
        }
        return;
    }
    bool known = r.bRequestType == 0xC1 && r.bRequest == 0x08;
    if (known) {
        data = {modem};
    }
    for (const reply& row : c.replies) {
        if (!known && row.type == r.bRequestType && row.request == r.bRequest &&
            (row.value == ANY || row.value == r.wValue)) {
            data = row.data;
            known = true;
        }
    }
    data.resize(std::min<std::size_t>(data.size(), r.wLength));
    // A host that gave up on a request leaves the write failing; the next comes anyway.
    if (known ? write(ep0, data.data(), data.size()) < 0 : read(ep0, data.data(), 0) == 0) {
        std::fprintf(stderr, "chip_emulator: request %02x not answered\n", r.bRequest);
    }
}

}  // namespace

int main(int argc, char** argv) {
    const auto found = std::find_if(std::begin(CHIPS), std::end(CHIPS), [&](const chip& c) {
        return argc == 4 && std::string_view(argv[1]) == c.name;
    });
    const std::string dir = argc == 4 ? argv[2] : "";
    const int ep0 = open((dir + "/ep0").c_str(), O_RDWR);
    const bytes descs = found != std::end(CHIPS) ? descriptors(*found) : bytes();
    const bytes strings = words({FUNCTIONFS_STRINGS_MAGIC, 16, 0, 0});  // none, no languages
    // The far side, held open here so that it never hangs up.
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    const int far = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0
                        ? open(ptsname(master), O_RDWR | O_NOCTTY)
                        : -1;
    if (found == std::end(CHIPS) || ep0 < 0 || write(ep0, descs.data(), descs.size()) < 0 ||
        write(ep0, strings.data(), strings.size()) < 0 || far < 0 ||
        symlink(ptsname(master), argv[3]) != 0) {
        std::perror("usage: chip_emulator ch340|cp2102|pl2303ta FFS_DIR PTY_LINK");
        return 1;
    }
    // Endpoint files in descriptor order; the interrupt endpoint never reports a change.
    for (std::size_t i = 0; i < found->endpoints.size(); ++i) {
        const int fd = open((dir + "/ep" + std::to_string(i + 1)).c_str(), O_RDWR);
        const bool in = (found->endpoints[i] & USB_DIR_IN) != 0;
        if (found->endpoints[i] != found->interrupt) {
            std::thread(pump, in ? master : fd, in ? fd : master).detach();
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        usb_functionfs_event event{};
        if (read(ep0, &event, sizeof event) == sizeof event && event.type == FUNCTIONFS_SETUP) {
            answer(ep0, *found, event.u.setup);
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
}
