#!/usr/bin/env bash
# Make samples/sample.ts (about 1 MB): the stream the README runs kavel on,
#   build/kavel samples/sample.ts 1 1 1
# Program 1: MPEG-2 video 720x576 interlaced 25 Hz (top field first, 4:3,
# I/P/B pictures, a GOP header before every I picture) on PID 0x100, and
# AC-3 2.0 48 kHz 192 kbit/s on PID 0x101, in plain 188-byte packets.
# Test pattern and sine sources with bit-exact flags, so reruns of the same
# FFmpeg give the same bytes.  Needs ffmpeg (apt-get install ffmpeg).
set -euo pipefail
cd "$(dirname "$0")/.."
command -v ffmpeg >/dev/null || { echo "need ffmpeg" >&2; exit 1; }
mkdir -p samples
ffmpeg -hide_banner -loglevel error -nostdin -y -threads 1 \
    -f lavfi -i "testsrc2=size=720x576:rate=25" \
    -f lavfi -i "aevalsrc=0.5*sin(440*2*PI*t)|0.5*sin(660*2*PI*t):s=48000:c=stereo" \
    -t 5 -map 0:v -map 1:a \
    -c:v mpeg2video -flags:v +bitexact+ilme+ildct -top 1 -aspect 4:3 \
    -g 12 -bf 2 -q:v 14 -maxrate 4M -bufsize 1835008 \
    -c:a ac3 -b:a 192k -flags:a +bitexact \
    -fflags +bitexact -f mpegts samples/sample.ts
ls -l samples/sample.ts
