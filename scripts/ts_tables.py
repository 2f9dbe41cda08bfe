#!/usr/bin/env python3
"""Print the PAT and every PMT of a transport stream, as written in the file.

Used to document the fixtures (stream_type values, PIDs, descriptors) from the
bytes themselves rather than from what a demuxer library reports.  Only the
first complete copy of each table is shown.  --packet-size 192 reads m2ts.

Output:
  transport_stream_id N
  program P pmt_pid X
    pcr_pid X
    program_info <tag>:<hex> ...
    stream pid X type 0xTT [<tag>:<hex> ...]
"""
import argparse


def packets(data, size):
    off = size - 188
    pos = 0
    while pos < len(data) and data[pos + off] != 0x47:
        pos += 1
    while pos + size <= len(data):
        p = data[pos + off:pos + off + 188]
        if p[0] != 0x47:
            break
        yield p
        pos += size


def payload(p):
    afc = (p[3] >> 4) & 3
    if not afc & 1:
        return None
    i = 4
    if afc & 2:
        i += 1 + p[4]
    return p[i:188]


def sections(data, size, wanted):
    """Yield (pid, section bytes) for PSI sections on PIDs in `wanted` (a callable)."""
    buf = {}
    for p in packets(data, size):
        pid = ((p[1] & 0x1F) << 8) | p[2]
        if not wanted(pid):
            continue
        pl = payload(p)
        if pl is None:
            continue
        pusi = p[1] & 0x40
        if pusi:
            ptr = pl[0]
            if pid in buf and buf[pid]:
                buf[pid] += pl[1:1 + ptr]
                yield from _drain(pid, buf)
            buf[pid] = bytearray(pl[1 + ptr:])
        elif pid in buf:
            buf[pid] += pl
        else:
            continue
        yield from _drain(pid, buf)


def _drain(pid, buf):
    b = buf[pid]
    while len(b) >= 3 and b[0] != 0xFF:
        ln = 3 + (((b[1] & 0x0F) << 8) | b[2])
        if len(b) < ln:
            return
        yield pid, bytes(b[:ln])
        del b[:ln]
    if b and b[0] == 0xFF:
        b.clear()


def descs(b):
    out = []
    i = 0
    while i + 2 <= len(b):
        tag, ln = b[i], b[i + 1]
        out.append(f"{tag:#04x}:{b[i + 2:i + 2 + ln].hex()}")
        i += 2 + ln
    return out


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--packet-size", type=int, choices=(188, 192), default=188)
    a = ap.parse_args()
    data = open(a.file, "rb").read()
    pat = None
    for pid, s in sections(data, a.packet_size, lambda x: x == 0):
        if s[0] == 0x00:
            pat = s
            break
    if pat is None:
        print("no PAT")
        return
    print(f"transport_stream_id {(pat[3] << 8) | pat[4]}")
    progs = []
    body = pat[8:-4]
    for i in range(0, len(body), 4):
        num = (body[i] << 8) | body[i + 1]
        pid = ((body[i + 2] & 0x1F) << 8) | body[i + 3]
        progs.append((num, pid))
    pmt_pids = {pid for num, pid in progs if num != 0}
    pmts = {}
    for pid, s in sections(data, a.packet_size, lambda x: x in pmt_pids):
        if s[0] == 0x02:
            num = (s[3] << 8) | s[4]
            pmts.setdefault(num, s)
        if len(pmts) == len(pmt_pids):
            break
    for num, pid in progs:
        if num == 0:
            print(f"network_pid {pid}")
            continue
        print(f"program {num} pmt_pid {pid}")
        s = pmts.get(num)
        if s is None:
            print("  (no PMT found)")
            continue
        pcr = ((s[8] & 0x1F) << 8) | s[9]
        pil = ((s[10] & 0x0F) << 8) | s[11]
        print(f"  pcr_pid {pcr}")
        if pil:
            print("  program_info " + " ".join(descs(s[12:12 + pil])))
        i = 12 + pil
        end = len(s) - 4
        while i + 5 <= end:
            st = s[i]
            epid = ((s[i + 1] & 0x1F) << 8) | s[i + 2]
            eil = ((s[i + 3] & 0x0F) << 8) | s[i + 4]
            d = descs(s[i + 5:i + 5 + eil])
            print(f"  stream pid {epid} type {st:#04x}" + ("" if not d else " " + " ".join(d)))
            i += 5 + eil


if __name__ == "__main__":
    main()
