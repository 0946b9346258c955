# In the test guest: a USB-serial chip on FunctionFS, so that the kernel binds the chip's
# own driver over dummy_hcd; its far side a pseudo-terminal, for tervalo-sim. Only what the
# drivers read is answered. Prints "ready" once its gadget can be bound.
# usage: python3 chip_emulator.py ch340|cp2102|pl2303ta FFS_DIR PTY_LINK
import os, struct, sys, threading, time

# Per chip: its endpoints (bEndpointAddress) in the chip's order, its interrupt endpoint
# (or 0), and the fixed answers to IN requests (bRequestType, bRequest, wValue or None,
# the data), the first that fits; one that none fits is stalled.
CHIPS = {
    # Version 0x31 (line control in one register), modem status, the break register.
    "ch340": ([0x82, 0x02, 0x81], 0x81, [(0xC0, 0x5F, None, b"\x31\0"),
        (0xC0, 0x95, 0x0706, b"\xff\xee"), (0xC0, 0x95, None, bytes(2))]),
    # Part number 0x02; flow settings and queue status all clear.
    "cp2102": ([0x81, 0x01], 0, [(0xC0, 0xFF, 0x370B, b"\x02"), (0xC1, 0x14, None, bytes(16)),
        (0xC1, 0x10, None, bytes(19))]),
    # A TA answers the status read that tells it from the G types; the line it reads back.
    "pl2303ta": ([0x81, 0x02, 0x83], 0x81, [(0xC0, 0x01, None, b"\0"),
        (0xA1, 0x21, None, bytes(7))]),
}
endpoints, interrupt, replies = CHIPS[sys.argv[1]]
ffs = sys.argv[2]

def pump(source, sink):  # for ever; endpoint files fail while the gadget is unbound
    while True:
        try:
            data = os.read(source, 512)
        except OSError:
            data = b""
        if not data or os.write(sink, data) != len(data):
            time.sleep(0.01)

# At full speed: one vendor interface, the chip's endpoints, 64-byte bulk packets.
body = bytes([9, 4, 0, 0, len(endpoints), 0xFF, 0, 0, 0])
for address in endpoints:
    interrupting = address == interrupt
    body += bytes([7, 5, address, 3 if interrupting else 2, 8 if interrupting else 64, 0, interrupting])
ep0 = os.open(ffs + "/ep0", os.O_RDWR)
# Magic V2, length, full-speed descriptors for any recipient, their count; no strings.
os.write(ep0, struct.pack("<4I", 3, 16 + len(body), 1 | 64, len(endpoints) + 1) + body)
os.write(ep0, struct.pack("<4I", 2, 16, 0, 0))
master, far = os.openpty()  # far held open, so that the master never hangs up
os.symlink(os.ttyname(far), sys.argv[3])
for number, address in enumerate(endpoints, 1):
    fd = os.open(f"{ffs}/ep{number}", os.O_RDWR)
    if address != interrupt:  # which never reports a change
        args = (master, fd) if address & 0x80 else (fd, master)
        threading.Thread(target=pump, args=args, daemon=True).start()
print("ready", flush=True)
modem = 0  # the CP2102's DTR and RTS as last set (SET_MHS), as its driver reads them back
while True:
    try:
        event = os.read(ep0, 12)
        if len(event) != 12 or event[8] != 4:  # FUNCTIONFS_SETUP
            time.sleep(0.01)
            continue
        kind, request, value, _, length = struct.unpack("<BBHHH", event[:8])
        if kind & 0x80 == 0:  # an OUT request: its data is read
            os.read(ep0, length)
            if (kind, request) == (0x41, 0x07):
                modem = modem & ~(value >> 8) | value & (value >> 8) & 3
        elif (kind, request) == (0xC1, 0x08):
            os.write(ep0, bytes([modem])[:length])
        else:
            fits = [d for t, r, v, d in replies if (t, r) == (kind, request) and v in (None, value)]
            os.write(ep0, fits[0][:length]) if fits else os.read(ep0, 0)  # a read stalls
    except OSError:  # a stall, or a request the host gave up on; the next comes anyway
        pass
