#!/usr/bin/env python3
"""Make a damaged copy of a clean 188-byte transport stream, deterministically.

Damage applied (positions drawn from a seeded random generator):
  * leading garbage: bytes before the first packet, none of them 0x47, so a
    reader that scans byte by byte finds the first real packet;
  * dropped packets: whole packets of the elementary-stream PIDs removed, so
    the continuity_counter on that PID jumps (one drop per event, events kept
    apart so each shows as its own discontinuity);
  * one short packet: the last few bytes of one packet cut off, so the next
    packet's sync byte arrives early and the reader must find it again;
  * garbage runs: a few non-0x47 bytes inserted between two packets.

A JSON report lists every change with its position in the original (1-based
packet number) and in the output (byte offset), and the counts of packets that
are still whole in the output, per PID.  Those counts are what
"count_pids.py --resync" must print for the output.

  python3 scripts/damage_ts.py IN OUT REPORT.json [--seed N]
"""
import argparse
import json
import random


def garbage(rng, n):
    out = bytearray()
    while len(out) < n:
        b = rng.randrange(256)
        if b != 0x47:
            out.append(b)
    return bytes(out)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("src")
    ap.add_argument("dst")
    ap.add_argument("report")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--drops", type=int, default=6)
    ap.add_argument("--garbage-runs", type=int, default=4)
    ap.add_argument("--lead", type=int, default=333)
    ap.add_argument("--cut", type=int, default=3)
    a = ap.parse_args()
    rng = random.Random(a.seed)

    data = open(a.src, "rb").read()
    if len(data) % 188 or any(data[i] != 0x47 for i in range(0, len(data), 188)):
        raise SystemExit("source must be a clean 188-byte-packet stream")
    pkts = [data[i:i + 188] for i in range(0, len(data), 188)]
    pid_of = [((p[1] & 0x1F) << 8) | p[2] for p in pkts]

    # Elementary-stream PIDs: the two busiest PIDs (video and audio here).
    counts = {}
    for pid in pid_of:
        counts[pid] = counts.get(pid, 0) + 1
    es_pids = sorted(sorted(counts, key=lambda p: -counts[p])[:2])

    # Pick distinct packet indices (0-based), at least 5 apart, past the first
    # 100 packets so the PAT/PMT at the start stay readable.
    need = a.drops + 1 + a.garbage_runs
    chosen = []
    while len(chosen) < need:
        i = rng.randrange(100, len(pkts) - 10)
        if all(abs(i - j) >= 5 for j in chosen):
            if len(chosen) <= a.drops and pid_of[i] not in es_pids:
                continue
            chosen.append(i)
    drops = set(chosen[:a.drops])
    cut_at = chosen[a.drops]
    garbage_after = {i: rng.randrange(1, 12) for i in chosen[a.drops + 1:]}

    out = bytearray(garbage(rng, a.lead))
    rep = {"source": a.src.rsplit("/", 1)[-1], "seed": a.seed, "packet_size": 188,
           "source_packets": len(pkts), "leading_garbage_bytes": a.lead,
           "dropped": [], "truncated": None, "garbage": [],
           "intact_counts": {}, "continuity_jumps": {}}
    intact = {}
    for i, p in enumerate(pkts):
        pid = pid_of[i]
        if i in drops:
            rep["dropped"].append({"packet": i + 1, "pid": pid, "cc": p[3] & 0x0F,
                                   "pusi": bool(p[1] & 0x40)})
            rep["continuity_jumps"][str(pid)] = rep["continuity_jumps"].get(str(pid), 0) + 1
            continue
        if i == cut_at:
            rep["truncated"] = {"packet": i + 1, "pid": pid, "offset": len(out),
                                "removed_bytes": a.cut, "length": 188 - a.cut}
            out += p[:188 - a.cut]
        else:
            intact[pid] = intact.get(pid, 0) + 1
            out += p
        if i in garbage_after:
            g = garbage(rng, garbage_after[i])
            rep["garbage"].append({"after_packet": i + 1, "offset": len(out), "bytes": len(g)})
            out += g
    rep["dropped"].sort(key=lambda d: d["packet"])
    rep["intact_counts"] = {str(k): intact[k] for k in sorted(intact)}
    rep["intact_packets"] = sum(intact.values())
    rep["output_bytes"] = len(out)
    with open(a.dst, "wb") as f:
        f.write(out)
    with open(a.report, "w") as f:
        json.dump(rep, f, indent=1, sort_keys=True)
        f.write("\n")


if __name__ == "__main__":
    main()
