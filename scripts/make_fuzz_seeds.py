#!/usr/bin/env python3
"""Writes seeds for the fuzz entry's wrapped mode: the first kilobytes of each fixture's
elementary streams sent as PES records on the PID of their stream type, with a TVCT and
an EIT on the PSIP PIDs, under several option mixes.

    scripts/make_fuzz_seeds.py OUT_DIR [VC1_ES_FILE [LONG_VC1_ES_FILE]]

The VC-1 streams (none of the fixtures has one) can be written with the builders of
tests/support/vc1_units.h; the long one needs over 300 frames to fill the rate estimate.

The record layout is the one tests/fuzz/fuzz_input.cpp reads: a header byte (target PID
index, form, flag, continuity break), a length byte, the bytes.
"""
import os
import struct
import sys

DATA = os.path.join(os.path.dirname(__file__), "..", "tests", "data")
PES, SECTION = 1, 2
# Targets: the nine streams 0x01 0x02 0x1B 0xEA 0x80 0x81 0x06 0x03 0x04, the PSIP base,
# channel ETT, EIT-0, EIT-1, ETT-0.
TARGET = {0x01: 0, 0x02: 1, 0x1B: 2, 0xEA: 3, 0x80: 4, 0x81: 5, 0x06: 6, 0x03: 7, 0x04: 8, 0x82: 10}
PSIP_BASE, EIT0 = 9, 11
RAW, PCR = 0, 3


def record(target, form, data, flag=0):
    return bytes([target | form << 4 | flag << 6, len(data)]) + data


def pes_records(target, es, limit, step=200, flag=0):
    return [record(target, PES, es[i:i + step], flag) for i in range(0, min(len(es), limit), step)]


def interleave(a, b):
    out = []
    for i in range(max(len(a), len(b))):
        out += a[i:i + 1] + b[i:i + 1]
    return b"".join(out)


def tvct():
    name = b"".join(struct.pack(">H", c) for c in b"KFUZ\0\0\0")
    ch = name + bytes([0xF0, 0x1C, 0x01, 0x04]) + bytes(4) + struct.pack(">HHBBH", 0x1FE1, 1, 0x0D, 0xC2, 1)
    # Extended channel name and a service location of video and AC-3 audio.
    desc = bytes([0xA0, 3]) + b"K-F" + bytes([0xA1, 15, 0xE1, 0x01, 2, 0x02, 0xE1, 0x01, 0, 0, 0, 0x81, 0xE1, 0x06])
    desc += b"eng"
    ch += struct.pack(">H", 0xFC00 | len(desc)) + desc
    return bytes([0xC8, 1, 0, 1]) + ch + struct.pack(">H", 0xFC00)  # table_id, version, protocol, count


def eit():
    title = bytes([1]) + b"eng" + bytes([1, 0, 0, 5]) + b"Title"
    ev = struct.pack(">H", 0xC001) + bytes([0x4A, 0xBA, 0x17, 0xCE, 0xE0, 0x07, 0x08, len(title)]) + title
    desc = bytes([0x81, 3, 0x44, 0x0F, 0x05, 0xAA, 2, 0x12, 0x34, 0x86, 1, 0])
    ev += struct.pack(">H", 0xF000 | len(desc)) + desc
    return bytes([0xCB, 1, 0, 1]) + ev


def mgt_moving_eit0():
    """An MGT that moves EIT-0 from its own PID to EIT-1's."""
    table = struct.pack(">HHBIH", 0x0100, 0xE000 | 0x1D01, 0xE0, 0x100, 0xF000)
    return bytes([0xC7, 2, 0]) + struct.pack(">H", 1) + table + b"\xf0\0"


def many_mpeg2_pictures(m2v, count=320):
    """The fixture's sequence header and GOP, then `count` small I pictures, enough to
    fill the rate estimate."""
    head = m2v[:m2v.find(b"\0\0\1\0")]
    picture = bytes.fromhex("00000100000ffff8000001b58ffff38000") + bytes.fromhex("0000010112345678")
    return head + picture * count


def with_pcrs(records, every=6):
    """A PCR packet on the PCR PID (the first stream) before every `every` records."""
    out = []
    for i, r in enumerate(records):
        if i % every == 0:
            out.append(record(TARGET[0x01], PCR, b""))
        out.append(r)
    return out


def seed(opts, extra, choice, records):
    return bytes([opts, extra | 0x80, choice, 0x5A]) + records


def es(name, limit=6000):
    with open(os.path.join(DATA, name), "rb") as f:
        return f.read(limit)


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    psip = record(PSIP_BASE, SECTION, tvct()) + record(EIT0, SECTION, eit())
    m2v, h264, ac3, mp2 = es("mpeg2_ac3_51.m2v"), es("h264_ac3_720.h264"), es("mpeg2_ac3_51.ac3"), es("mpeg2_mp2_2997.mp2")
    lpcm = es("m2ts_lpcm_16.s16be", 2000)
    vc1 = open(sys.argv[2], "rb").read() if len(sys.argv) > 2 else b""
    vc1_long = open(sys.argv[3], "rb").read() if len(sys.argv) > 3 else b""
    # (name, option byte 0, byte 1 extras, video number - 1, audio number - 1, video, audio)
    cases = [
        ("mpeg2-ac3", 0x72, 0x00, 0, 0, (0x01, m2v), (0x81, ac3)),
        ("mpeg2-type2-ac3-06", 0x60, 0x08, 1, 1, (0x02, m2v), (0x06, ac3)),
        ("h264-mp2", 0x22, 0x01, 2, 2, (0x1B, h264), (0x03, mp2)),
        ("h264-mp2-type4-split", 0x30, 0x40, 2, 3, (0x1B, h264), (0x04, mp2)),
        ("vc1-ac3", 0x72, 0x00, 3, 0, (0xEA, vc1), (0x81, ac3)),
        ("mpeg2-type80", 0x12, 0x06, 4, 0, (0x80, m2v), (0x81, ac3)),
        # Under h type 0x80 is LPCM audio, the first audio of the program.
        ("hdmv-lpcm", 0x0B, 0x24, 0, 0, (0x01, m2v), (0x80, bytes([0, 0, 0x31, 0x40]) + lpcm)),
    ]
    for n, (name, o0, o1, v, a, (vt, vdata), (at, adata)) in enumerate(cases, 1):
        if not vdata:
            continue
        body = psip + interleave(pes_records(TARGET[vt], vdata, 6000),
                                 pes_records(TARGET[at], adata, 3000, 240 if at == 0x80 else 200))
        with open(os.path.join(out, "wrapped-%02d-%s.bin" % (n, name)), "wb") as f:
            f.write(seed(o0, o1, v | a << 3, body))
    # Rate display and estimate (no option s), a raw audio type, an MGT moving a PID.
    n = len(cases)
    long_cases = [("mpeg2-rate-raw-audio", 0x00, 4, TARGET[0x01], many_mpeg2_pictures(m2v)),
                  ("vc1-rate-mgt-move", 0x40, 4, TARGET[0xEA], vc1_long)]
    for i, (name, o0, audio, target, video) in enumerate(long_cases, n + 1):
        if not video:
            continue
        body = psip + record(EIT0, SECTION, mgt_moving_eit0())
        body += interleave(with_pcrs(pes_records(target, video, len(video), 250)),
                           pes_records(TARGET[0x82], ac3, 2000))
        body += record(TARGET[0x01], PCR, b"") * 2  # the rate line with the estimate
        with open(os.path.join(out, "wrapped-%02d-%s.bin" % (i, name)), "wb") as f:
            f.write(seed(o0, 0x00, target | audio << 3, body))


main()
