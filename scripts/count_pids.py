#!/usr/bin/env python3
"""Independent per-PID packet count for a transport stream file.

Prints one line per PID, in PID order:  "pid count first last"
  pid    the 13-bit PID in decimal
  count  number of packets seen on it
  first  1-based number of its first packet, counted over all packets
  last   1-based number of its last packet

Packets are 188 bytes (plain TS) or, with --packet-size 192, 192 bytes
(an HDMV/m2ts unit: 4-byte arrival time stamp, then the 188-byte packet,
so the 0x47 sync byte sits at offset 4 of each unit).

Default mode: find the first sync (a 0x47 that repeats one and two packets
later), then step a whole packet at a time and stop at the first position
that does not hold 0x47 (clean files never hit this).

--resync mode, for damaged files: where the byte at the expected position is
not 0x47, scan forward byte by byte for a "confirmed" sync (0x47 with 0x47
again one and two packets later, as far as the file goes) and carry on from
there.  A packet that starts with 0x47 but is not followed straight on by
another sync is kept only if the next confirmed sync lies at or beyond its
end (whole packet, garbage after it); if the next sync comes earlier the
packet was cut short and is not counted.  A trailing partial packet is
ignored.

This is deliberately written without sharing any code with kavel.
"""
import argparse
import sys


def find_first_sync(data, size, sync_off):
    for pos in range(0, min(len(data), 64 * 1024)):
        s = pos + sync_off
        if s < len(data) and data[s] == 0x47:
            ok = True
            for k in (1, 2):
                t = s + k * size
                if t < len(data) and data[t] != 0x47:
                    ok = False
                    break
            if ok:
                return pos
    return None


def confirmed(data, s, size):
    """True if a sync byte at s is followed by sync bytes one and two packets
    on (as far as the file goes)."""
    if data[s] != 0x47:
        return False
    for k in (1, 2):
        t = s + k * size
        if t < len(data) and data[t] != 0x47:
            return False
    return True


def next_confirmed(data, s, size):
    while s < len(data):
        s = data.find(b"\x47", s)
        if s < 0:
            return None
        if confirmed(data, s, size):
            return s
        s += 1
    return None


def count(data, size, resync):
    sync_off = size - 188
    pos = find_first_sync(data, size, sync_off)
    stats = {}
    if pos is None:
        return stats, 0
    n = 0
    end = len(data)
    while pos + size <= end:
        s = pos + sync_off
        if data[s] != 0x47:
            if not resync:
                break
            q = next_confirmed(data, s + 1, size)
            if q is None:
                break
            pos = q - sync_off
            continue
        if resync and s + size < end and data[s + size] != 0x47:
            # The next packet does not follow straight on.  If the next good
            # sync comes before this packet's end, this packet was cut short:
            # drop it.  Otherwise it is whole and garbage follows it.
            q = next_confirmed(data, s + 1, size)
            if q is not None and q < s + 188:
                pos = q - sync_off
                continue
        n += 1
        pid = ((data[s + 1] & 0x1F) << 8) | data[s + 2]
        st = stats.get(pid)
        if st is None:
            stats[pid] = [1, n, n]
        else:
            st[0] += 1
            st[2] = n
        pos += size
    return stats, n


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("file")
    ap.add_argument("--packet-size", type=int, choices=(188, 192), default=188)
    ap.add_argument("--resync", action="store_true",
                    help="skip bytes until a packet with a confirmed sync follows")
    a = ap.parse_args()
    with open(a.file, "rb") as f:
        data = f.read()
    stats, _ = count(data, a.packet_size, a.resync)
    out = sys.stdout
    for pid in sorted(stats):
        c, first, last = stats[pid]
        out.write(f"{pid} {c} {first} {last}\n")


if __name__ == "__main__":
    main()
