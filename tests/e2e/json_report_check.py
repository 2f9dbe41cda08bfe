#!/usr/bin/env python3
"""Checks kavel's JSON report of one run against ffprobe and the files it wrote.

    json_report_check.py KAVEL INPUT DIR

Runs `KAVEL -js INPUT P 1 all` in DIR for the first program ffprobe lists, then checks
that the document parses, that its programs, PIDs and codecs agree with ffprobe's, and that
every output's byte count is its file's size. Prints what disagrees; exit 1 on anything.
"""
import json, os, subprocess, sys

# kavel's codec words and the ffprobe codec names they may stand for.
CODECS = {
    "MPEG-1 video": {"mpeg1video", "mpeg2video"}, "MPEG-2 video": {"mpeg2video", "mpeg1video"},
    "H.264": {"h264"}, "HEVC": {"hevc"}, "VC-1": {"vc1"},
    "MPEG-1 audio": {"mp1", "mp2", "mp3", "aac"}, "MPEG-2 audio": {"mp1", "mp2", "mp3", "aac"},
    "AC-3": {"ac3", "eac3"}, "E-AC-3": {"eac3"}, "AAC": {"aac"}, "AAC (LATM)": {"aac_latm", "aac"},
    "DTS": {"dts"}, "DTS-HD": {"dts"}, "DTS-HD master audio": {"dts"}, "Dolby TrueHD": {"truehd"},
    "LPCM": {"pcm_bluray"}, "teletext": {"dvb_teletext"}, "DVB subtitles": {"dvb_subtitle"},
    "splice information": {"scte_35"},
}

def main():
    kavel, ts, work = sys.argv[1:4]
    probe = json.loads(subprocess.run(
        ["ffprobe", "-v", "error", "-show_programs", "-of", "json", ts],
        capture_output=True, text=True).stdout or "{}")
    programs = probe.get("programs", [])
    if not programs:
        return 0
    number = programs[0]["program_id"]
    opts = "-jsh" if ts.endswith(".m2ts") else "-js"
    run = subprocess.run([kavel, opts, ts, str(number), "1", "all"], cwd=work, capture_output=True)
    problems = []
    try:
        doc = json.loads(run.stdout.decode("utf-8"))
    except ValueError as e:
        print(f"{ts}: no valid JSON: {e}")
        return 1
    listed = {p["program"]: p for p in doc["programs"]}
    for p in programs:
        mine = listed.get(p["program_id"])
        if mine is None:
            problems.append(f"program {p['program_id']} missing")
            continue
        if mine["pmt_pid"] != p["pmt_pid"]:
            problems.append(f"program {p['program_id']}: PMT PID {mine['pmt_pid']} != {p['pmt_pid']}")
        if mine.get("pcr_pid") not in (None, p["pcr_pid"]):
            problems.append(f"program {p['program_id']}: PCR PID {mine['pcr_pid']} != {p['pcr_pid']}")
        theirs = {int(s["id"], 16): s.get("codec_name", "") for s in p.get("streams", [])}
        for s in mine.get("streams", []):
            if s["pid"] not in theirs:
                problems.append(f"program {p['program_id']}: PID {s['pid']} not in ffprobe's")
            elif s["codec"] in CODECS and theirs[s["pid"]] and theirs[s["pid"]] not in CODECS[s["codec"]]:
                problems.append(f"PID {s['pid']}: {s['codec']} but ffprobe says {theirs[s['pid']]}")
    for s in doc["streams"]:
        if s["output"] is not None and os.path.getsize(os.path.join(work, s["output"])) != s["bytes"]:
            problems.append(f"{s['output']}: {s['bytes']} bytes reported")
    for line in problems:
        print(f"{ts}: {line}")
    return 1 if problems else 0

if __name__ == "__main__":
    sys.exit(main())
