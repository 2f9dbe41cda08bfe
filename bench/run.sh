#!/usr/bin/env bash
# Whole-process speed of kavel on two 60-second broadcast-like captures, side by side with
# the machine's floors and with FFmpeg doing the same job:
#   (a) kavel, full demux          (b) kavel -p, parse only
#   (c) read floor: 16 KiB reads   (d) copy floor: 16 KiB reads, 184/188 of each written
#   (e) ffmpeg -c copy of the same video and audio to two files
#   (f) ffmpeg -c copy -f null
#   (g) cat file > /dev/null: the kernel's own fastest way through the file
# Runs alternate (a b c d e f, a b c d e f, ...) so that a drift in the machine's speed
# touches all of them alike; each figure is the median. Then peak memory (/usr/bin/time -v)
# on the whole capture and on its first ten seconds, and system-call counts (strace -c),
# where strace is installed.
#
#   bench/run.sh [WORKDIR]     WORKDIR defaults to /dev/shm/kavel-bench (tmpfs), else /tmp
#
# Environment: BUILD (build folder, default build), RUNS (default 7). The captures are made
# with FFmpeg in WORKDIR when missing (a few minutes of encoding) and kept for later runs.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${BUILD:-$root/build}"
runs="${RUNS:-7}"
if [[ $# -ge 1 ]]; then
  work="$1"
elif [[ -d /dev/shm && -w /dev/shm ]]; then
  work=/dev/shm/kavel-bench
else
  work=/tmp/kavel-bench
fi
kavel="$build/kavel"
floor="$build/bench/kavel_floor"
for tool in "$kavel" "$floor"; do
  [[ -x "$tool" ]] || { echo "missing $tool: build first (cmake --build $build)" >&2; exit 1; }
done
command -v ffmpeg >/dev/null || { echo "ffmpeg is needed" >&2; exit 1; }
mkdir -p "$work/out"
work="$(cd "$work" && pwd)"

# --- captures -----------------------------------------------------------------------------
# A noisy test pattern, so that the encoders spend the bit rate as on real pictures.
source_video="testsrc2=size=1920x1080:rate=30000/1001,noise=alls=10:allf=t"
source_audio="sine=frequency=440:sample_rate=48000"

make_capture() {  # name, then the video encoder's arguments and the muxer's
  local name="$1"; shift
  [[ -s "$work/$name" ]] && return
  echo "making $work/$name (60 s of 1080 video; takes a few minutes)" >&2
  nice -n 10 ffmpeg -nostdin -hide_banner -loglevel error -y \
    -f lavfi -i "$source_video" -f lavfi -i "$source_audio" -t 60 -map 0:v -map 1:a \
    "$@" -c:a ac3 -b:a 384k -ac 2 -f mpegts "$work/$name.part"
  mv "$work/$name.part" "$work/$name"
}

# ATSC-like: 1080i MPEG-2 video at 15 Mbit/s with AC-3 in a 19.39 Mbit/s multiplex.
make_capture mpeg2_1080i_ac3.ts -c:v mpeg2video -b:v 15M -minrate 15M -maxrate 15M \
  -bufsize 7M -g 15 -bf 2 -flags +ilme+ildct -top 1 -muxrate 19390000
# 1080 H.264 with access unit delimiters (x264's aud), so that kavel finds the I access
# units (primary_pic_type 0) and parses the stream rather than waiting for one.
make_capture h264_1080_ac3.ts -c:v libx264 -preset veryfast -x264-params aud=1:keyint=30 \
  -b:v 15M -maxrate 15M -bufsize 7M -pix_fmt yuv420p
# 1080 HEVC (DVB-T2, UHD Blu-ray) with the delimiters FFmpeg's muxer inserts and open GOPs,
# so that the start waits for a CRA and leaves out its RASL pictures.
make_capture hevc_1080_ac3.ts -c:v libx265 -preset ultrafast \
  -x265-params log-level=error:keyint=30:min-keyint=30:open-gop=1:bframes=3 -b:v 15M -pix_fmt yuv420p

# A title with nine audio tracks (as Blu-ray titles and DVB services carry several
# languages and commentaries): the H.264 capture with its AC-3 track muxed in nine times.
if [[ ! -s "$work/h264_9audio.ts" ]]; then
  ffmpeg -nostdin -hide_banner -loglevel error -y -i "$work/h264_1080_ac3.ts" -map 0:v \
    $(for k in 1 2 3 4 5 6 7 8 9; do printf -- '-map 0:a '; done) -c copy -f mpegts "$work/h264_9audio.ts.part"
  mv "$work/h264_9audio.ts.part" "$work/h264_9audio.ts"
fi

# --- timing -------------------------------------------------------------------------------
cd "$work/out"

command_for() {  # letter, capture path, FFmpeg's muxer for the video elementary stream
  local in="$2" format="$3"
  case "$1" in
    a) echo "$kavel -s $in 1 1 1" ;;
    b) echo "$kavel -ps $in 1 1 1" ;;
    c) echo "$floor read $in" ;;
    d) echo "$floor copy $in copy.out" ;;
    e) echo "ffmpeg -nostdin -v error -y -i $in -map 0:v:0 -c copy -f $format video.es -map 0:a:0 -c copy -f ac3 audio.ac3" ;;
    f) echo "ffmpeg -nostdin -v error -i $in -map 0:v:0 -map 0:a:0 -c copy -f null -" ;;
    g) echo "cat $in" ;;
  esac
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
ratio() { awk -v x="$1" -v y="$2" 'BEGIN { printf "%.2f", x / y }'; }
verdict() { awk -v r="$1" -v g="$2" 'BEGIN { print (r <= g) ? "met" : "NOT met" }'; }

peak_kib() {  # peak resident memory of one run of the command, in KiB
  /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ { print $2 }'
}

syscalls() {  # system calls of one run, all kinds together
  strace -c -f -o strace.txt "$@" >/dev/null 2>&1
  awk '$NF == "total" { print ($4 ~ /^[0-9]+$/) ? $4 : $3 }' strace.txt
}

echo "machine: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(nproc) cores;" \
  "files in $work ($(df -P "$work" | awk 'NR == 2 { print $1 }')); medians of $runs alternating runs"

for capture in mpeg2_1080i_ac3.ts:mpeg2video h264_1080_ac3.ts:h264 hevc_1080_ac3.ts:hevc; do
  name="${capture%%:*}" format="${capture##*:}" in="$work/${capture%%:*}"
  bytes=$(stat -c %s "$in")
  declare -A times=()
  for letter in a b c d e f g; do  # warm-up, and a check that each command works
    $(command_for $letter "$in" "$format") >/dev/null 2>&1 || echo "($letter) failed: $(command_for $letter "$in" "$format")" >&2
  done
  for ((r = 0; r < runs; r++)); do
    for letter in a b c d e f g; do
      cmd=$(command_for $letter "$in" "$format")  # outside the timed part: it forks
      t0=$EPOCHREALTIME
      $cmd >/dev/null 2>&1 || true
      t1=$EPOCHREALTIME
      times[$letter]+="$((${t1/[,.]/} - ${t0/[,.]/})) "  # microseconds
    done
  done
  declare -A med=()
  echo
  echo "$name: $((bytes / 1000000)) MB"
  for letter in a b c d e f g; do
    med[$letter]=$(tr ' ' '\n' <<<"${times[$letter]}" | grep . | median)
    case $letter in
      a) what="kavel full demux" ;; b) what="kavel -p (parse only)" ;;
      c) what="read floor (16 KiB reads)" ;; d) what="copy floor (read, write 184/188)" ;;
      e) what="ffmpeg -c copy to two files" ;; f) what="ffmpeg -c copy -f null" ;;
      g) what="cat file > /dev/null" ;;
    esac
    awk -v l="$letter" -v w="$what" -v us="${med[$letter]}" -v b="$bytes" \
      'BEGIN { printf "  (%s) %-34s %8.3f s %8.0f MB/s\n", l, w, us / 1e6, b / us }'
  done
  a_d=$(ratio "${med[a]}" "${med[d]}") a_e=$(ratio "${med[a]}" "${med[e]}")
  b_c=$(ratio "${med[b]}" "${med[c]}") b_f=$(ratio "${med[b]}" "${med[f]}")
  echo "  demux / copy floor   = $a_d  (goal <= 1.4: $(verdict "$a_d" 1.4))"
  echo "  demux / ffmpeg files = $a_e  (goal <= 0.5: $(verdict "$a_e" 0.5))"
  echo "  parse / read floor   = $b_c  (goal <= 2.0: $(verdict "$b_c" 2.0))"
  echo "  parse / ffmpeg null  = $b_f  (goal <= 0.2: $(verdict "$b_f" 0.2))"
  b_g=$(ratio "${med[b]}" "${med[g]}") b_rate=$(awk -v b="$bytes" -v us="${med[b]}" 'BEGIN { printf "%.0f", b / us }')
  echo "  parse / cat          = $b_g  (goal <= 1.3: $(verdict "$b_g" 1.3))"
  echo "  parse rate           = $b_rate MB/s  (goal >= 5000: $(verdict "-$b_rate" -5000))"

  head -c $((bytes / 6 / 188 * 188)) "$in" >head.ts
  echo "  peak memory: kavel demux $(peak_kib $kavel -s "$in" 1 1 1) KiB (first 10 s alone:" \
    "$(peak_kib $kavel -s head.ts 1 1 1) KiB), kavel -p $(peak_kib $kavel -ps "$in" 1 1 1) KiB," \
    "ffmpeg -c copy $(peak_kib $(command_for e "$in" "$format")) KiB"
  rm -f head.ts
  if command -v strace >/dev/null; then
    k=$(syscalls $kavel -s "$in" 1 1 1) c=$(syscalls $floor copy "$in" copy.out)
    echo "  system calls: kavel demux $k, copy floor $c (ratio $(ratio "$k" "$c"), goal <= 1.10:" \
      "$(verdict "$(ratio "$k" "$c")" 1.10))"
  fi
  unset times med
done

# Every track in one pass against one track, and against nine runs of one track each.
in="$work/h264_9audio.ts"
declare -A times=()
nine() { for k in 1 2 3 4 5 6 7 8 9; do $kavel -s "$in" 1 1 $k >/dev/null 2>&1; done; }
$kavel -s "$in" 1 1 all >/dev/null 2>&1 || echo "(all) failed" >&2
for ((r = 0; r < runs; r++)); do
  for what in all one nine; do
    t0=$EPOCHREALTIME
    case $what in
      all) $kavel -s "$in" 1 1 all >/dev/null 2>&1 ;;
      one) $kavel -s "$in" 1 1 1 >/dev/null 2>&1 ;;
      nine) nine ;;
    esac
    t1=$EPOCHREALTIME
    times[$what]+="$((${t1/[,.]/} - ${t0/[,.]/})) "
  done
done
declare -A med=()
for what in all one nine; do med[$what]=$(tr ' ' '\n' <<<"${times[$what]}" | grep . | median); done
echo
echo "h264_9audio.ts: $(($(stat -c %s "$in") / 1000000)) MB, nine audio tracks"
echo "  all nine tracks in one pass $(awk -v us="${med[all]}" 'BEGIN { printf "%.3f", us / 1e6 }') s," \
  "one track $(awk -v us="${med[one]}" 'BEGIN { printf "%.3f", us / 1e6 }') s," \
  "nine runs of one track $(awk -v us="${med[nine]}" 'BEGIN { printf "%.3f", us / 1e6 }') s"
a_o=$(ratio "${med[all]}" "${med[one]}") n_a=$(ratio "${med[nine]}" "${med[all]}")
echo "  all / one track  = $a_o  (goal <= 1.3: $(verdict "$a_o" 1.3))"
echo "  nine runs / all  = $n_a  (goal >= 5: $(verdict "-$n_a" -5))"
peak=$(peak_kib $kavel -s "$in" 1 1 all)
echo "  peak memory with nine tracks: $peak KiB  (goal <= 8192: $(verdict "$peak" 8192))"
rm -f "$work"/out/*
