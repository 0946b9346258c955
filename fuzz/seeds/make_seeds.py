#!/usr/bin/env python3
"""Writes the fuzz targets' seed inputs from the protocol tests' vectors.

    python3 fuzz/seeds/make_seeds.py      (from the repository root)

read_packet inputs use the target's gap marker: FE 00 is the byte FE, FE n a gap of
n ms. round_trip inputs are a noise length, the noise, then the payload.
"""
from pathlib import Path


def marked(line):
    out = bytearray()
    for byte in line:
        out.append(byte)
        if byte == 0xFE:
            out.append(0)
    return bytes(out)


def stuffed(value):
    return bytes([0x5C, 0xFF - value]) if value in (0x11, 0x13, 0x5C) else bytes([value])


def frame(frame_type, payload):
    length = len(payload) + 1
    check = frame_type
    for byte in payload:
        check ^= byte
    raw = bytes([0xAD, length >> 8, length & 0xFF, frame_type]) + payload + bytes([check])
    return b"".join(stuffed(b) for b in raw)


def gap(ms):
    return bytes([0xFE, ms])


def main():
    after = frame(0xA2, b"after")
    gapped = frame(0xA2, b"gap")
    read_packet = {
        "known_ok": marked(bytes([0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0xA6])),
        "greeting": marked(frame(0xA2, b"hello")),
        "stuffed_body": marked(frame(0xA2, bytes([0x11, 0x13, 0x5C]) + b"z" * 13)),
        "length_one_byte": marked(frame(0xA2, b"A")),
        "length_zero": marked(bytes([0xAD, 0, 0]) + after),
        "length_one": marked(bytes([0xAD, 0, 1, 0xA2, 0xA2]) + after),
        "wrong_check": marked(bytes([0xAD, 0x00, 0x03, 0xA2, 0x4F, 0x4B, 0x07]) + after),
        "escape_zero": marked(bytes([0x5C, 0x00]) + after),
        "escape_in_body": marked(bytes([0xAD, 0x00, 0x03, 0xA2, 0x5C, 0x5C])),
        "other_type": marked(frame(0x17, b"x") + frame(0xA2, b"yes")),
        "noise_then_frame": marked(bytes([0x00, 0xFF, 0x41, 0xA2, 0x11, 0x13, 0x0D, 0x0A])
                                   + frame(0xA2, b"ok")),
        "stray_start": marked(bytes([0xAD]) + frame(0xA2, b"lost")),
        "stray_escape": marked(bytes([0x5C]) + frame(0xA2, b"lost")),
        "two_frames": marked(frame(0xA2, b"one") + frame(0xA2, b"two")),
        "raw_xon_in_body": marked(bytes([0xAD, 0x00, 0x03, 0xA2, 0x11, 0x13, 0xA2 ^ 0x11 ^ 0x13])),
        "gap_3ms_in_frame": marked(gapped[:4]) + gap(3) + marked(gapped[4:]) + gap(7)
        + marked(frame(0xA2, b"next")),
        "gap_1ms_in_frame": marked(gapped[:4]) + gap(1) + marked(gapped[4:]),
        "late_in_the_second": gap(250) * 3 + gap(240) + marked(frame(0xA2, b"late")),
        "after_the_deadline": gap(250) * 4 + gap(100) + marked(frame(0xA2, b"too late")),
    }
    round_trip = {
        "hello": b"\x00hello",
        "noise_ok": b"\x03\x01\x02\x03OK",
        "reserved_bytes": b"\x00" + bytes([0x11, 0x13, 0x5C, 0xAD, 0xFE, 0x00]),
        "noise_start_escape": b"\x04" + bytes([0xAD, 0x5C, 0x11, 0x13]) + b"z",
        "one_byte": b"\x00A",
    }
    here = Path(__file__).parent
    for folder, seeds in (("read_packet", read_packet), ("round_trip", round_trip)):
        (here / folder).mkdir(exist_ok=True)
        for name, data in seeds.items():
            (here / folder / name).write_bytes(data)


if __name__ == "__main__":
    main()
