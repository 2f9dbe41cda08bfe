#!/usr/bin/env python3
"""Builds transport streams that try to make the demultiplexer's state grow, each a short
head followed by one block repeated up to the size asked for, to compare peak memory at
two sizes.

    scripts/make_memory_inputs.py KIND SIZE OUT

KIND:
  repeat        tests/data/mpeg2_ac3_51.ts over and over (continuity broken at each seam)
  psip-churn    MGTs on 0x1FFB, each a new version announcing nine tables on PIDs never
                announced before, cycling through every PID (run with option g)
  max-sections  PAT, PMT and PSIP tables of 256 sections each of the longest length
  endless-pes   video and audio PES packets of PES_packet_length 0 that never end
  audio-only    AC-3 frames with time stamps while the video never starts
SIZE is in bytes, with an optional k, M or G suffix.
"""
import os
import struct
import sys

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data")


def crc32(data):
    crc = 0xFFFFFFFF
    for b in data:
        crc ^= b << 24
        for _ in range(8):
            crc = ((crc << 1) ^ 0x04C11DB7) if crc & 0x80000000 else crc << 1
            crc &= 0xFFFFFFFF
    return crc


class Mux:
    def __init__(self):
        self.cc = {}
        self.out = bytearray()

    def packet(self, pid, payload, start=False):
        cc = self.cc.get(pid, 0)
        self.cc[pid] = (cc + 1) & 15
        head = bytes([0x47, (0x40 if start else 0) | pid >> 8, pid & 0xFF])
        if len(payload) < 184:
            stuff = 184 - len(payload) - 1
            af = bytes([stuff]) + (bytes([0]) + b"\xff" * (stuff - 1) if stuff else b"")
            self.out += head + bytes([0x30 | cc]) + af + payload
        else:
            self.out += head + bytes([0x10 | cc]) + payload[:184]

    def unit(self, pid, data, pad=b""):
        """Splits data over packets, the first with the unit start; pad fills the last."""
        for i in range(0, max(len(data), 1), 184):
            part = data[i:i + 184]
            if pad and len(part) < 184:
                part += pad * (184 - len(part))
            self.packet(pid, part, i == 0)

    def section(self, pid, s):
        self.unit(pid, b"\0" + s, b"\xff")


def long_section(table_id, ext, version, number, last, body):
    head = bytes([table_id, 0xB0 | (len(body) + 9) >> 8, (len(body) + 9) & 0xFF]) + struct.pack(">H", ext)
    s = head + bytes([0xC1 | version << 1, number, last]) + body
    return s + struct.pack(">I", crc32(s))


def pat(mux):
    mux.section(0, long_section(0, 1, 0, 0, 0, struct.pack(">HH", 1, 0xE100)))


def pmt(mux, streams):
    body = struct.pack(">HH", 0xE000 | streams[0][1], 0xF000)
    for t, pid in streams:
        body += bytes([t]) + struct.pack(">HH", 0xE000 | pid, 0xF000)
    mux.section(0x100, long_section(2, 1, 0, 0, 0, body))


def pes(stream_id, pts, payload, zero_length=False):
    ts = bytes([0x21 | (pts >> 29) & 0x0E, pts >> 22 & 0xFF, (pts >> 14 & 0xFE) | 1, pts >> 7 & 0xFF, (pts << 1 & 0xFE) | 1])
    length = 0 if zero_length else 8 + len(payload)
    return b"\0\0\1" + bytes([stream_id]) + struct.pack(">H", length) + bytes([0x80, 0x80, 5]) + ts + payload


def repeat_block():
    return b"", fixture("mpeg2_ac3_51.ts")


def psip_churn():
    head, mux = Mux(), Mux()
    mux.cc = head.cc
    pid, version = 0x20, 0
    for _ in range(2048):  # 2048 MGTs, a multiple of 32 versions and of 16 packets
        tables = b""
        for t in (0x0004, 0x0100, 0x0101, 0x0102, 0x0103, 0x0200, 0x0201, 0x0202, 0x0203):
            tables += struct.pack(">HHBIH", t, 0xE000 | pid, 0xE0, 0x100, 0xF000)
            pid = pid + 1 if pid < 0x1FFA else 0x20
        mux.section(0x1FFB, long_section(0xC7, 0, version, 0, 0, b"\0" + struct.pack(">H", 9) + tables + b"\xf0\0"))
        version = (version + 1) & 31
    return bytes(head.out), bytes(mux.out)


def max_sections():
    head, mux = Mux(), Mux()
    mux.cc = head.cc
    pat(head)
    # Sections of the greatest length each table accepts, 256 of a table, joined past
    # every buffer; a new version for each round.
    for version in range(2):
        for n in range(256):
            mux.section(0, long_section(0, 1, version, n, 255, struct.pack(">HH", 1, 0xE100) * 253))
            mux.section(0x100, long_section(2, 1, version, n, 255, struct.pack(">HH", 0xE101, 0xF000) + b"\x02" + struct.pack(">HH", 0xE101, 0xF3F6) + b"\x05\xff" + b"x" * 1010))
            mux.section(0x1FFB, long_section(0xC8, 1, version, n, 255, b"\0" + b"\x00" * (4084)))
    return bytes(head.out), bytes(mux.out)


def fixture(name):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read()


def program():
    """A head with PAT and PMT (MPEG-2 video on 0x101, AC-3 on 0x102) and a muxer for the
    repeated block that goes on with the head's continuity counters."""
    head, mux = Mux(), Mux()
    mux.cc = head.cc
    pat(head)
    pmt(head, [(0x02, 0x101), (0x81, 0x102)])
    return head, mux


def endless_pes():
    video, audio = fixture("mpeg2_ac3_51.m2v"), fixture("mpeg2_ac3_51.ac3")
    head, mux = program()
    head.packet(0x101, pes(0xE0, 90000, b"", True), True)
    head.packet(0x102, pes(0xBD, 90000, b"", True), True)
    # The elementary streams without start codes' ends: payload only, never a unit start.
    video, audio = video[:184 * 16 * 64], audio[:184 * 16 * 16]
    for i in range(0, len(video), 184 * 4):
        for k in range(4):
            mux.packet(0x101, video[i + k * 184:i + (k + 1) * 184].ljust(184, b"\0"))
        j = i // 4 % len(audio)
        mux.packet(0x102, audio[j:j + 184].ljust(184, b"\0"))
    return bytes(head.out), bytes(mux.out)


def audio_only():
    audio = fixture("mpeg2_ac3_51.ac3")
    head, mux = program()
    pts = 0
    for i in range(0, 16 * 1792, 1792):  # sixteen 1792-byte frames, each in its own PES
        mux.unit(0x102, pes(0xBD, pts, audio[i % (len(audio) - 1792):][:1792]))
        pts += 2880
    return bytes(head.out), bytes(mux.out)


def main():
    kind, size, out = sys.argv[1], sys.argv[2], sys.argv[3]
    scale = {"k": 1 << 10, "M": 1 << 20, "G": 1 << 30}
    total = int(size[:-1]) * scale[size[-1]] if size[-1] in scale else int(size)
    head, block = {"repeat": repeat_block, "psip-churn": psip_churn, "max-sections": max_sections,
                   "endless-pes": endless_pes, "audio-only": audio_only}[kind]()
    with open(out, "wb") as f:
        f.write(head)
        written = len(head)
        while written < total:
            f.write(block)
            written += len(block)


main()
