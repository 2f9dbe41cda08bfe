#!/usr/bin/env python3
"""Write a short text summary of what ffprobe says about a transport stream.

One line per program and per stream, as space-separated key=value tokens, so a
test can pick out e.g. the PID, the first PTS (90 kHz ticks) or the frame count
without a JSON parser.  The first few packets of each stream follow its line.

  python3 scripts/probe_facts.py FILE [--first N] [--pids 0x100,0x101]
"""
import argparse
import json
import subprocess


def run(args):
    return json.loads(subprocess.run(args, check=True, capture_output=True, text=True).stdout)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("file")
    ap.add_argument("--first", type=int, default=4)
    ap.add_argument("--pids", help="list only these streams (ffprobe ids, e.g. 0x100,0x101)")
    a = ap.parse_args()
    info = run(["ffprobe", "-v", "error", "-count_packets", "-show_programs",
                "-show_streams", "-show_format", "-of", "json", a.file])
    fmt = info.get("format", {})
    print(f"format name={fmt.get('format_name')} size={fmt.get('size')} "
          f"nb_programs={fmt.get('nb_programs')} nb_streams={fmt.get('nb_streams')}")
    for p in info.get("programs", []):
        pids = ",".join(s.get("id", "?") for s in p.get("streams", []))
        print(f"program num={p.get('program_num')} pmt_pid={p.get('pmt_pid')} "
              f"pcr_pid={p.get('pcr_pid')} stream_pids={pids}")
    keys_v = ["width", "height", "sample_aspect_ratio", "display_aspect_ratio",
              "r_frame_rate", "field_order", "profile", "level", "has_b_frames"]
    keys_a = ["sample_rate", "channels", "channel_layout", "sample_fmt",
              "bits_per_raw_sample", "bit_rate"]
    for s in info.get("streams", []):
        if a.pids and s.get("id") not in a.pids.split(","):
            continue
        t = s.get("codec_type")
        toks = [f"index={s['index']}", f"pid={s.get('id')}", f"type={t}",
                f"codec={s.get('codec_name')}"]
        for k in (keys_v if t == "video" else keys_a if t == "audio" else []):
            v = s.get(k)
            if v is not None and v != "N/A":
                toks.append(f"{k}={str(v).replace(' ', '_')}")
        toks.append(f"start_pts={s.get('start_pts')}")
        toks.append(f"packets={s.get('nb_read_packets')}")
        print("stream " + " ".join(toks))
        pk = run(["ffprobe", "-v", "error", "-select_streams", str(s["index"]),
                  "-read_intervals", f"%+#{a.first}", "-show_entries",
                  "packet=pts,dts,size,flags", "-of", "json", a.file])
        for q in pk.get("packets", [])[:a.first]:
            print(f"  packet pts={q.get('pts')} dts={q.get('dts')} size={q.get('size')} "
                  f"flags={q.get('flags')}")


if __name__ == "__main__":
    main()
