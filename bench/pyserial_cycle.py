#!/usr/bin/python3
"""The greeting cycle written the way a user would write it with pyserial (Debian's
python3-serial): the baseline the benchmarks compare the tool with.

    /usr/bin/python3 bench/pyserial_cycle.py PORT [INTERVAL_S [COUNT]]

PORT is opened as given (cycle_driver passes COM3, a link in its scratch directory).
The frame rules and the printed lines are the tool's: hunt for 0xAD, undo the stuffing,
check length and XOR, accept type 0xA2, give up on a frame after a 2 ms gap and on the
response after one second, pause INTERVAL_S seconds (default one) between cycles, and
stop after COUNT greetings (default never).
"""
import sys
import time

import serial

GREETING = bytes.fromhex("AD0006A268656C6C6FC0")
UNESCAPED = {0xA3: 0x5C, 0xEC: 0x13, 0xEE: 0x11}
GAP_S = 0.002


def say(line):
    sys.stdout.buffer.write(line + b"\r\n")
    sys.stdout.buffer.flush()


def read_unescaped(port, count):
    out = bytearray()
    while len(out) < count:
        byte = port.read(1)
        if not byte:
            return None
        if byte[0] == 0x5C:
            second = port.read(1)
            if not second:
                return None
            if second[0] not in UNESCAPED:
                say(b"[warn]:esc char error 0x%02x" % second[0])
                return None
            out.append(UNESCAPED[second[0]])
        else:
            out += byte
    return bytes(out)


def read_packet(port):
    deadline = time.monotonic() + 1.0
    while (left := deadline - time.monotonic()) > 0:
        port.timeout = left  # hunting: sleep in select() until a byte or the deadline
        start = read_unescaped(port, 1)
        port.timeout = GAP_S
        if start != b"\xad":
            continue
        header = read_unescaped(port, 2)
        if header is None:
            continue
        length = header[0] << 8 | header[1]
        if length < 2:
            say(b"[warn]:[read_packet]:len error %d" % length)
            continue
        body = read_unescaped(port, length)
        check = read_unescaped(port, 1) if body is not None else None
        if check is None:
            continue
        computed = 0
        for byte in body:
            computed ^= byte
        if computed != check[0]:
            say(b"[warn]:[read_packet]: crc error %d %d" % (computed, check[0]))
            continue
        if body[0] == 0xA2:
            return body[1:]
    return None


def main():
    if len(sys.argv) < 2:
        sys.stdout.write("usage: pyserial_cycle.py com_port\n")
        return 255
    try:
        port = serial.Serial(sys.argv[1], 921600, timeout=0, exclusive=True)
    except (serial.SerialException, OSError):
        say(b"[error]:open serial port failed")
        return 255
    interval = float(sys.argv[2]) if len(sys.argv) > 2 else 1.0
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 0
    say(b"[info]:pyserial cycle start...")
    sent = 0
    while True:
        port.reset_input_buffer()
        port.reset_output_buffer()
        port.write(GREETING)
        payload = read_packet(port)
        if payload is None:
            say(b"[warn]:no response")
        else:
            say(b"[info]:response: " + payload.split(b"\0")[0])
        sent += 1
        if sent == count:
            return 0
        if interval > 0:
            time.sleep(interval)


if __name__ == "__main__":
    sys.exit(main())
