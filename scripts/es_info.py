#!/usr/bin/env python3
"""Read the headers of an elementary stream file and print what the bitstream says.

  .m2v  MPEG-2 video: first sequence header + sequence extension, GOP header
        count, picture count by coding type, picture_structure / top_field_first
        of the first coded picture.
  .ac3  AC-3: fields of the first syncframe (fscod, frmsizecod, bsid, acmod,
        lfeon), frame count and the set of frame sizes seen.
  .mp2  MPEG audio: first frame header fields, frame count.

These are independent of kavel and of FFmpeg, so fixture facts can be checked
against the raw bytes.
"""
import sys


class Bits:
    def __init__(self, b, pos=0):
        self.b, self.p = b, pos * 8

    def u(self, n):
        v = 0
        for _ in range(n):
            v = (v << 1) | ((self.b[self.p >> 3] >> (7 - (self.p & 7))) & 1)
            self.p += 1
        return v


def m2v(data):
    out = []
    i = data.find(b"\x00\x00\x01\xb3")
    if i < 0:
        return ["no sequence header"]
    r = Bits(data, i + 4)
    w, h = r.u(12), r.u(12)
    aspect, frc = r.u(4), r.u(4)
    br = r.u(18)
    r.u(1)
    vbv = r.u(10)
    out.append(f"horizontal_size {w}")
    out.append(f"vertical_size {h}")
    out.append(f"aspect_ratio_information {aspect}")
    out.append(f"frame_rate_code {frc}")
    out.append(f"bit_rate_value {br}  ({br * 400} bit/s)")
    out.append(f"vbv_buffer_size_value {vbv}")
    j = data.find(b"\x00\x00\x01\xb5", i)
    if j >= 0 and (data[j + 4] >> 4) == 1:
        r = Bits(data, j + 4)
        r.u(4)
        pl = r.u(8)
        prog = r.u(1)
        chroma = r.u(2)
        hx, vx = r.u(2), r.u(2)
        brx = r.u(12)
        out.append(f"profile_and_level_indication {pl:#04x}")
        out.append(f"progressive_sequence {prog}")
        out.append(f"chroma_format {chroma}")
        out.append(f"bit_rate_extension {brx}  (full bit_rate {((brx << 18) | br) * 400} bit/s)")
    # Walk start codes for GOPs and pictures.
    gops = seqs = 0
    types = {1: 0, 2: 0, 3: 0}
    first_pic = None
    first_gop = None
    k = 0
    pending_pic = False
    while True:
        k = data.find(b"\x00\x00\x01", k)
        if k < 0 or k + 4 > len(data):
            break
        code = data[k + 3]
        if code == 0xB3:
            seqs += 1
        elif code == 0xB8:
            gops += 1
            if first_gop is None:
                r = Bits(data, k + 4)
                hh, mm = r.u(6) & 0x1F, r.u(6)
                r.u(1)
                ss, ff = r.u(6), r.u(6)
                closed, broken = r.u(1), r.u(1)
                first_gop = f"{hh:02d}:{mm:02d}:{ss:02d}.{ff:02d} closed_gop {closed} broken_link {broken}"
        elif code == 0x00:
            r = Bits(data, k + 4)
            tref = r.u(10)
            t = r.u(3)
            types[t] = types.get(t, 0) + 1
            pending_pic = first_pic is None
            if pending_pic:
                first_pic = {"temporal_reference": tref, "type": "?IPB"[t] if t < 4 else str(t)}
        elif code == 0xB5 and pending_pic and (data[k + 4] >> 4) == 8:
            r = Bits(data, k + 4)
            r.u(4)
            r.u(16)
            r.u(2)
            ps = r.u(2)
            tff = r.u(1)
            first_pic["picture_structure"] = ps
            first_pic["top_field_first"] = tff
            pending_pic = False
        k += 3
    out.append(f"sequence_headers {seqs}")
    out.append(f"gop_headers {gops}")
    if first_gop:
        out.append(f"first_gop time_code {first_gop}")
    out.append(f"pictures I {types.get(1, 0)} P {types.get(2, 0)} B {types.get(3, 0)}")
    if first_pic:
        out.append("first_picture " + " ".join(f"{a} {b}" for a, b in first_pic.items()))
    return out


AC3_RATES = [32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384, 448, 512, 576, 640]
AC3_CH = ["1+1", "1/0", "2/0", "3/0", "2/1", "3/1", "2/2", "3/2"]


def ac3_frame_words(fscod, frmsizecod):
    """Frame length in 16-bit words.  At 44.1 kHz the nominal length is not a
    whole number of words; odd frmsizecod values carry one padding word."""
    kbps = AC3_RATES[frmsizecod >> 1]
    if fscod == 0:
        return kbps * 2
    if fscod == 1:
        return (kbps * 1000 * 1536) // 44100 // 16 + (frmsizecod & 1)
    return kbps * 3


def ac3(data):
    out = []
    i = 0
    frames = 0
    sizes = {}
    first = None
    while i + 6 <= len(data):
        if data[i] != 0x0B or data[i + 1] != 0x77:
            out.append(f"lost sync at byte {i}")
            break
        fscod = data[i + 4] >> 6
        frmsizecod = data[i + 4] & 0x3F
        words = ac3_frame_words(fscod, frmsizecod)
        if first is None:
            r = Bits(data, i + 5)
            bsid = r.u(5)
            bsmod = r.u(3)
            acmod = r.u(3)
            if (acmod & 1) and acmod != 1:
                r.u(2)
            if acmod & 4:
                r.u(2)
            if acmod == 2:
                r.u(2)
            lfeon = r.u(1)
            first = (fscod, frmsizecod, bsid, bsmod, acmod, lfeon)
        sizes[words * 2] = sizes.get(words * 2, 0) + 1
        frames += 1
        i += words * 2
    if first:
        fscod, frmsizecod, bsid, bsmod, acmod, lfeon = first
        out.insert(0, f"fscod {fscod}  ({[48000, 44100, 32000, 0][fscod]} Hz)")
        out.insert(1, f"frmsizecod {frmsizecod}  ({AC3_RATES[frmsizecod >> 1]} kbit/s)")
        out.insert(2, f"bsid {bsid}")
        out.insert(3, f"bsmod {bsmod}")
        out.insert(4, f"acmod {acmod}  ({AC3_CH[acmod]})")
        out.insert(5, f"lfeon {lfeon}")
    out.append(f"frames {frames}")
    out.append("frame_bytes " + " ".join(f"{s}x{n}" for s, n in sorted(sizes.items())))
    return out


MPA_BR = {1: [0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384]}
MPA_SR = [44100, 48000, 32000]


def mp2(data):
    out = []
    i = 0
    frames = 0
    first = None
    sizes = {}
    while i + 4 <= len(data):
        h = int.from_bytes(data[i:i + 4], "big")
        if (h >> 21) != 0x7FF:
            out.append(f"lost sync at byte {i}")
            break
        ver = (h >> 19) & 3
        layer = 4 - ((h >> 17) & 3)
        bri = (h >> 12) & 15
        sri = (h >> 10) & 3
        pad = (h >> 9) & 1
        mode = (h >> 6) & 3
        kbps = MPA_BR[1][bri]
        sr = MPA_SR[sri]
        size = 144000 * kbps // sr + pad
        if first is None:
            first = (ver, layer, kbps, sr, mode, (h >> 16) & 1)
        sizes[size] = sizes.get(size, 0) + 1
        frames += 1
        i += size
    if first:
        ver, layer, kbps, sr, mode, prot = first
        out += [f"id {ver & 1}  (1 = MPEG-1)", f"layer {layer}", f"bitrate {kbps} kbit/s",
                f"sampling_frequency {sr}", f"mode {mode}  (0 stereo, 1 joint, 2 dual, 3 mono)",
                f"protection_bit {prot}"]
    out.append(f"frames {frames}")
    out.append("frame_bytes " + " ".join(f"{s}x{n}" for s, n in sorted(sizes.items())))
    return out


def main():
    for name in sys.argv[1:]:
        data = open(name, "rb").read()
        if name.endswith(".m2v"):
            lines = m2v(data)
        elif name.endswith(".ac3"):
            lines = ac3(data)
        elif name.endswith(".mp2"):
            lines = mp2(data)
        else:
            continue
        if len(sys.argv) > 2:
            print(f"== {name.rsplit('/', 1)[-1]}")
        for ln in lines:
            print(ln)


if __name__ == "__main__":
    main()
