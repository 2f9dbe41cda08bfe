#!/usr/bin/env bash
# Build the muxer-made test fixtures in tests/data/ with FFmpeg, plus the
# oracle files the tests compare kavel against:
#
#   NAME.ts / NAME.m2ts   the transport stream
#   NAME.pids.txt         per-PID packet count (scripts/count_pids.py)
#   NAME.psi.txt          PAT/PMT as written in the file (scripts/ts_tables.py)
#   NAME.probe.txt        what ffprobe says: PIDs, codecs, first PTS, ...
#   NAME.m2v, .ac3, .mp2  elementary streams copied out by FFmpeg (-c copy)
#   NAME.s16be/.s24be     LPCM samples as carried (big-endian, interleaved)
#   NAME.es.txt           header fields read from the elementary streams
#                         (scripts/es_info.py)
#
# Everything is generated from lavfi test sources with fixed durations and
# bit-exact flags, single-threaded, so a rerun with the same FFmpeg gives the
# same bytes.  Needs ffmpeg, ffprobe and python3 (apt-get install ffmpeg).
# `make_fixtures.sh h264` makes the H.264 fixtures alone, `make_fixtures.sh starts` those
# of the start rules.
set -euo pipefail
cd "$(dirname "$0")/.."

OUT=tests/data
mkdir -p "$OUT"
for tool in ffmpeg ffprobe python3; do
    command -v "$tool" >/dev/null || { echo "need $tool" >&2; exit 1; }
done

FF=(ffmpeg -hide_banner -loglevel error -nostdin -y -threads 1)
# Container written without version strings.
MUX=(-fflags +bitexact -f mpegts)

# Video sources: a moving pattern so P and B pictures carry real motion.
SRC_PAL=(-f lavfi -i "testsrc2=size=720x576:rate=25")
SRC_NTSC=(-f lavfi -i "testsrc2=size=720x480:rate=30000/1001")
SRC_CIF=(-f lavfi -i "testsrc2=size=352x288:rate=25")
SRC_CIF_B=(-f lavfi -i "testsrc=size=352x288:rate=25")

# Audio sources.  The 5.1 one has a different tone on each channel so a test
# can tell the channels apart; LFE is a low tone.
tone51() { echo "aevalsrc=0.5*sin(440*2*PI*t)|0.5*sin(554*2*PI*t)|0.5*sin(659*2*PI*t)|0.5*sin(55*2*PI*t)|0.5*sin(880*2*PI*t)|0.5*sin(1109*2*PI*t):s=$1:c=5.1(side)"; }
tone20() { echo "aevalsrc=0.5*sin($2*2*PI*t)|0.5*sin($3*2*PI*t):s=$1:c=stereo"; }

# MPEG-2 video encoder settings.  -g/-bf give a normal IBBP... GOP with a GOP
# header before every I picture.  A fixed quantiser keeps the files small (the
# moving test pattern defeats rate control at these sizes); maxrate/bufsize
# are still what the sequence header's bit_rate (2500 x 400 bit/s) and
# vbv_buffer_size (112 x 16 kbit) fields carry.
VENC=(-c:v mpeg2video -bf 2 -q:v 24 -maxrate 1M -bufsize 1835008)
V_INTERLACED=(-flags:v +bitexact+ilme+ildct -top 1)
V_PROGRESSIVE=(-flags:v +bitexact)
ABX=(-flags:a +bitexact)

oracles() {   # oracles NAME EXT [packet size]
    local name=$1 ext=$2 size=${3:-188}
    local f="$OUT/$name.$ext"
    python3 scripts/count_pids.py --packet-size "$size" "$f" > "$OUT/$name.pids.txt"
    python3 scripts/ts_tables.py --packet-size "$size" "$f" > "$OUT/$name.psi.txt"
    python3 scripts/probe_facts.py "$f" > "$OUT/$name.probe.txt"
}

es_copy() {   # es_copy NAME EXT MAP FORMAT SUFFIX
    "${FF[@]}" -i "$OUT/$1.$2" -map "$3" -c copy -f "$4" "$OUT/$1.$5"
}

# H.264 fixtures: libx264 with access unit delimiters (aud=1, so every access unit
# announces its slice types), two B frames, an I picture every 12.  Their .probe.txt
# list every packet (pts, dts, size), so a test can find the time stamp of each access
# unit and the audio frame at which the output must start.
h264_fixtures() {
    local x264=(-c:v libx264 -preset veryfast -crf 32 -g 12 -bf 2 -pix_fmt yuv420p
                -x264-params aud=1:threads=1 -flags:v +bitexact)
    echo "10. h264_mp2_1080: 1920x1080p25 High + MPEG-1 Layer II 2.0 192k 48 kHz"
    "${FF[@]}" -f lavfi -i "testsrc2=size=1920x1080:rate=25" -f lavfi -i "$(tone20 48000 440 660)" \
        -t 1.2 -map 0:v -map 1:a "${x264[@]}" -c:a mp2 -b:a 192k "${ABX[@]}" \
        "${MUX[@]}" "$OUT/h264_mp2_1080.ts"
    # In HDMV mode FFmpeg gives AC-3 the Blu-ray stream_type 0x81 (MPEG audio would be
    # announced as 0x06, which stands for AC-3 here).
    echo "11. h264_ac3_720: HDMV, 1280x720p50 Main + AC-3 2.0 192k 48 kHz"
    "${FF[@]}" -f lavfi -i "testsrc2=size=1280x720:rate=50" -f lavfi -i "$(tone20 48000 550 770)" \
        -t 1.2 -map 0:v -map 1:a "${x264[@]}" -profile:v main -c:a ac3 -b:a 192k "${ABX[@]}" \
        "${MUX[@]}" -mpegts_m2ts_mode 1 "$OUT/h264_ac3_720.m2ts"
    local name ext size audio
    for name in h264_mp2_1080 h264_ac3_720; do
        case $name in
            h264_mp2_1080) ext=ts; size=188; audio=mp2 ;;
            *) ext=m2ts; size=192; audio=ac3 ;;
        esac
        oracles "$name" "$ext" "$size"
        python3 scripts/probe_facts.py --first 100000 "$OUT/$name.$ext" > "$OUT/$name.probe.txt"
        es_copy "$name" "$ext" 0:v:0 h264 h264
        es_copy "$name" "$ext" 0:a:0 "$audio" "$audio"
    done
}
# Streams as today's muxers and encoders write them, each for one start rule. Small
# (320x240, 2 to 4 s); the tests make FFmpeg's copies of them themselves.
#   start_h264_muxer_aud   x264 without aud=1: the muxer inserts 09 F0 delimiters
#   start_h264_open_gop    x264 open GOP, no aud: non-IDR I pictures with a recovery point
#   start_hevc_muxer_aud   x265 without aud=1: the muxer inserts 46 01 50 delimiters
#   start_hevc_open_gop    x265 aud=1 open GOP: CRA pictures followed by RASL pictures
start_fixtures() {
    local V=(-f lavfi -i "testsrc2=size=320x240:rate=25") A=(-f lavfi -i "sine=frequency=440:sample_rate=48000")
    local GOP=keyint=25:min-keyint=25:open-gop=1:scenecut=0
    echo "12. start fixtures: H.264 and HEVC 320x240p25 as muxers write them"
    "${FF[@]}" "${V[@]}" "${A[@]}" -t 2 -c:v libx264 -preset veryfast -flags:v +bitexact \
        -c:a mp2 -b:a 128k "${ABX[@]}" "${MUX[@]}" "$OUT/start_h264_muxer_aud.ts"
    "${FF[@]}" "${V[@]}" "${A[@]}" -t 3 -c:v libx264 -preset veryfast -flags:v +bitexact \
        -x264-params "$GOP:bframes=3" -c:a ac3 -b:a 128k "${ABX[@]}" "${MUX[@]}" "$OUT/start_h264_open_gop.ts"
    "${FF[@]}" "${V[@]}" "${A[@]}" -t 2 -c:v libx265 -preset veryfast -x265-params log-level=error \
        -c:a ac3 -b:a 128k "${ABX[@]}" "${MUX[@]}" "$OUT/start_hevc_muxer_aud.ts"
    # x265's default preset: the faster ones put no leading pictures before a CRA.
    "${FF[@]}" "${V[@]}" "${A[@]}" -t 4 -c:v libx265 \
        -x265-params "aud=1:log-level=error:$GOP:bframes=3" -c:a mp2 -b:a 128k "${ABX[@]}" \
        "${MUX[@]}" "$OUT/start_hevc_open_gop.ts"
}

if [ "${1:-}" = h264 ]; then h264_fixtures; exit 0; fi
if [ "${1:-}" = starts ]; then start_fixtures; exit 0; fi

echo "1. mpeg2_ac3_51: 720x576i25 TFF 4:3 + AC-3 5.1 384k 48 kHz"
mk1() {   # mk1 NAME [extra muxer options]
    local name=$1; shift
    "${FF[@]}" "${SRC_PAL[@]}" -f lavfi -i "$(tone51 48000)" -t 2 \
        -map 0:v -map 1:a \
        "${VENC[@]}" "${V_INTERLACED[@]}" -aspect 4:3 -g 12 \
        -c:a ac3 -b:a 384k "${ABX[@]}" \
        "${MUX[@]}" "$@" "$OUT/$name.ts"
}
mk1 mpeg2_ac3_51
oracles mpeg2_ac3_51 ts
es_copy mpeg2_ac3_51 ts 0:v:0 mpeg2video m2v
es_copy mpeg2_ac3_51 ts 0:a:0 ac3 ac3
python3 scripts/es_info.py "$OUT/mpeg2_ac3_51.m2v" "$OUT/mpeg2_ac3_51.ac3" > "$OUT/mpeg2_ac3_51.es.txt"

echo "4. mpeg2_ac3_51_dvb: the same, AC-3 as DVB (stream_type 0x06 + AC-3 descriptor)"
mk1 mpeg2_ac3_51_dvb -mpegts_flags system_b
oracles mpeg2_ac3_51_dvb ts
# Same encode, so the elementary streams must be the ones of fixture 1;
# check instead of storing them twice.
tmp=$(mktemp -d); trap 'rm -rf "$tmp"' EXIT
"${FF[@]}" -i "$OUT/mpeg2_ac3_51_dvb.ts" -map 0:v:0 -c copy -f mpeg2video "$tmp/v.m2v" \
    -map 0:a:0 -c copy -f ac3 "$tmp/a.ac3"
cmp "$tmp/v.m2v" "$OUT/mpeg2_ac3_51.m2v"
cmp "$tmp/a.ac3" "$OUT/mpeg2_ac3_51.ac3"

echo "2. mpeg2_mp2_2997: 720x480p 29.97 16:9 + MPEG-1 Layer II 192k 48 kHz stereo"
"${FF[@]}" "${SRC_NTSC[@]}" -f lavfi -i "$(tone20 48000 440 660)" -t 2 \
    -map 0:v -map 1:a \
    "${VENC[@]}" "${V_PROGRESSIVE[@]}" -aspect 16:9 -g 15 \
    -c:a mp2 -b:a 192k "${ABX[@]}" \
    "${MUX[@]}" "$OUT/mpeg2_mp2_2997.ts"
oracles mpeg2_mp2_2997 ts
es_copy mpeg2_mp2_2997 ts 0:v:0 mpeg2video m2v
es_copy mpeg2_mp2_2997 ts 0:a:0 mp2 mp2
python3 scripts/es_info.py "$OUT/mpeg2_mp2_2997.m2v" "$OUT/mpeg2_mp2_2997.mp2" > "$OUT/mpeg2_mp2_2997.es.txt"

echo "3. mpeg2_ac3_44k: 352x288p25 + AC-3 2.0 192k 44.1 kHz (frame sizes alternate)"
"${FF[@]}" "${SRC_CIF[@]}" -f lavfi -i "$(tone20 44100 440 660)" -t 2 \
    -map 0:v -map 1:a \
    "${VENC[@]}" "${V_PROGRESSIVE[@]}" -aspect 4:3 -g 12 \
    -c:a ac3 -b:a 192k "${ABX[@]}" \
    "${MUX[@]}" "$OUT/mpeg2_ac3_44k.ts"
oracles mpeg2_ac3_44k ts
es_copy mpeg2_ac3_44k ts 0:v:0 mpeg2video m2v
es_copy mpeg2_ac3_44k ts 0:a:0 ac3 ac3
python3 scripts/es_info.py "$OUT/mpeg2_ac3_44k.m2v" "$OUT/mpeg2_ac3_44k.ac3" > "$OUT/mpeg2_ac3_44k.es.txt"

echo "5. multi_program: programs 1, 7, 3 (in that PAT order); program 7 has two audios"
# Output stream index -> PID 0x100 + index:
#   0 video A (prog 1)   1 video B (prog 7)
#   2 mp2 stereo (prog 1)   3 AC-3 stereo (prog 7, audio 1)
#   4 mp2 mono (prog 7, audio 2)   5 mp2 stereo (prog 3, radio, no video)
"${FF[@]}" "${SRC_CIF[@]}" "${SRC_CIF_B[@]}" \
    -f lavfi -i "$(tone20 48000 440 660)" \
    -f lavfi -i "$(tone20 48000 550 770)" \
    -f lavfi -i "sine=frequency=1000:sample_rate=48000" \
    -f lavfi -i "$(tone20 48000 330 495)" \
    -t 2 -map 0:v -map 1:v -map 2:a -map 3:a -map 4:a -map 5:a \
    "${VENC[@]}" "${V_PROGRESSIVE[@]}" -aspect 4:3 -g 12 \
    -c:a:0 mp2 -b:a:0 128k -c:a:1 ac3 -b:a:1 192k \
    -c:a:2 mp2 -b:a:2 96k -c:a:3 mp2 -b:a:3 128k "${ABX[@]}" \
    -program program_num=1:title=One:st=0:st=2 \
    -program program_num=7:title=Seven:st=1:st=3:st=4 \
    -program program_num=3:title=Radio:st=5 \
    "${MUX[@]}" "$OUT/multi_program.ts"
oracles multi_program ts
# FFmpeg's demuxer numbers the streams program by program, not by PID, so
# pick them by PID (0:i:PID).
es_copy multi_program ts 0:i:0x100 mpeg2video pid256.m2v
es_copy multi_program ts 0:i:0x101 mpeg2video pid257.m2v
es_copy multi_program ts 0:i:0x102 mp2 pid258.mp2
es_copy multi_program ts 0:i:0x103 ac3 pid259.ac3
es_copy multi_program ts 0:i:0x104 mp2 pid260.mp2
es_copy multi_program ts 0:i:0x105 mp2 pid261.mp2
python3 scripts/es_info.py "$OUT"/multi_program.pid*.* > "$OUT/multi_program.es.txt"

echo "6a. m2ts_lpcm_16: HDMV 192-byte units, 720x480p 29.97 + LPCM 2.0 16-bit 48 kHz"
"${FF[@]}" "${SRC_NTSC[@]}" -f lavfi -i "$(tone20 48000 440 660)" -t 1 \
    -map 0:v -map 1:a \
    "${VENC[@]}" "${V_PROGRESSIVE[@]}" -aspect 16:9 -g 15 \
    -c:a pcm_bluray -sample_fmt s16 "${ABX[@]}" \
    "${MUX[@]}" -mpegts_m2ts_mode 1 "$OUT/m2ts_lpcm_16.m2ts"
oracles m2ts_lpcm_16 m2ts 192
es_copy m2ts_lpcm_16 m2ts 0:v:0 mpeg2video m2v
"${FF[@]}" -i "$OUT/m2ts_lpcm_16.m2ts" -map 0:a:0 -c:a pcm_s16be -f s16be "$OUT/m2ts_lpcm_16.s16be"
python3 scripts/es_info.py "$OUT/m2ts_lpcm_16.m2v" > "$OUT/m2ts_lpcm_16.es.txt"

echo "6b. m2ts_lpcm_51_24: HDMV, 720x576i25 + LPCM 5.1 24-bit 48 kHz"
"${FF[@]}" "${SRC_PAL[@]}" -f lavfi -i "$(tone51 48000)" -t 0.4 \
    -map 0:v -map 1:a \
    "${VENC[@]}" "${V_INTERLACED[@]}" -aspect 4:3 -g 6 \
    -c:a pcm_bluray -sample_fmt s32 "${ABX[@]}" \
    "${MUX[@]}" -mpegts_m2ts_mode 1 "$OUT/m2ts_lpcm_51_24.m2ts"
oracles m2ts_lpcm_51_24 m2ts 192
es_copy m2ts_lpcm_51_24 m2ts 0:v:0 mpeg2video m2v
# FFmpeg's decoder hands the channels out as L R C LFE Ls Rs; in the stream
# the LFE word comes last (L R C Ls Rs LFE).  Map back to the carried order so
# the file equals the PES payloads minus their 4-byte LPCM headers.
"${FF[@]}" -i "$OUT/m2ts_lpcm_51_24.m2ts" -map 0:a:0 \
    -af "channelmap=map=FL|FR|FC|SL|SR|LFE:channel_layout=5.1(side)" \
    -c:a pcm_s24be -f s24be "$OUT/m2ts_lpcm_51_24.s24be"
python3 scripts/es_info.py "$OUT/m2ts_lpcm_51_24.m2v" > "$OUT/m2ts_lpcm_51_24.es.txt"

echo "8. mpeg2_ac3_51_damaged: fixture 1 with dropped/short packets and garbage"
python3 scripts/damage_ts.py --seed 7 "$OUT/mpeg2_ac3_51.ts" \
    "$OUT/mpeg2_ac3_51_damaged.ts" "$OUT/mpeg2_ac3_51_damaged.json"
python3 scripts/count_pids.py --resync "$OUT/mpeg2_ac3_51_damaged.ts" > "$OUT/mpeg2_ac3_51_damaged.pids.txt"
# The resyncing count must agree with what the damage script says it left whole.
python3 - "$OUT/mpeg2_ac3_51_damaged.json" "$OUT/mpeg2_ac3_51_damaged.pids.txt" <<'PY'
import json, sys
want = {int(k): v for k, v in json.load(open(sys.argv[1]))["intact_counts"].items()}
got = {int(l.split()[0]): int(l.split()[1]) for l in open(sys.argv[2])}
if want != got:
    sys.exit(f"damaged counts disagree: report {want} vs scan {got}")
PY

echo "9. late video: fixtures 1 and 2 remuxed with the video 0.3 s later than the audio"
# The audio then starts well before the first picture, so the frames before it must be
# dropped. -c copy keeps both elementary streams byte for byte (checked below), so the
# oracle files of the source fixtures apply.
late() {   # late SOURCE NAME AUDIO_FORMAT
    "${FF[@]}" -i "$OUT/$1.ts" -itsoffset 0.3 -i "$OUT/$1.ts" -map 1:v -map 0:a -c copy \
        "${MUX[@]}" "$OUT/$2.ts"
    oracles "$2" ts
    "${FF[@]}" -i "$OUT/$2.ts" -map 0:v:0 -c copy -f mpeg2video "$tmp/late.m2v" \
        -map 0:a:0 -c copy -f "$3" "$tmp/late.$3"
    cmp "$tmp/late.m2v" "$OUT/$1.m2v"
    cmp "$tmp/late.$3" "$OUT/$1.$3"
}
late mpeg2_ac3_51 mpeg2_ac3_51_late_video ac3
late mpeg2_mp2_2997 mpeg2_mp2_2997_late_video mp2

echo "10. audio_sync: small video 0.3 s after seven audio streams rich in false sync words"
# MPEG audio at high rates, silence and tones carries FF FC/FD inside most of its frames,
# AC-3 carries 0B 77 now and then. The audio starts before the video so that its first
# frames must be dropped. Audio stream N (kavel's numbering, PMT order) is PID 0x100 + N:
#   1 mp2 mono silence 48 kHz 192k     2 mp2 stereo 1 kHz 48 kHz 384k
#   3 mp2 mono white noise 44.1 kHz 256k  4 mp2 stereo silence 32 kHz 160k
#   5 AC-3 stereo silence 48 kHz 192k     6 AC-3 mono pink noise 44.1 kHz 448k
#   7 AC-3 mono 440 Hz 32 kHz 96k
"${FF[@]}" -itsoffset 0.3 -f lavfi -i "testsrc=size=176x144:rate=25" \
    -f lavfi -i "anullsrc=channel_layout=mono:sample_rate=48000" \
    -f lavfi -i "$(tone20 48000 1000 1000)" \
    -f lavfi -i "anoisesrc=color=white:sample_rate=44100:amplitude=0.5:seed=1" \
    -f lavfi -i "anullsrc=channel_layout=stereo:sample_rate=32000" \
    -f lavfi -i "anullsrc=channel_layout=stereo:sample_rate=48000" \
    -f lavfi -i "anoisesrc=color=pink:sample_rate=44100:amplitude=0.5:seed=2" \
    -f lavfi -i "sine=frequency=440:sample_rate=32000" \
    -t 1.2 -map 0:v -map 1:a -map 2:a -map 3:a -map 4:a -map 5:a -map 6:a -map 7:a \
    "${VENC[@]}" "${V_PROGRESSIVE[@]}" -g 12 \
    -c:a:0 mp2 -b:a:0 192k -c:a:1 mp2 -b:a:1 384k -c:a:2 mp2 -b:a:2 256k -c:a:3 mp2 -b:a:3 160k \
    -c:a:4 ac3 -b:a:4 192k -c:a:5 ac3 -b:a:5 448k -c:a:6 ac3 -b:a:6 96k "${ABX[@]}" \
    "${MUX[@]}" "$OUT/audio_sync.ts"
oracles audio_sync ts
: > "$OUT/audio_sync.frames.txt"
for n in 1 2 3 4 5 6 7; do
    if [ $n -le 4 ]; then ext=mp2 fmt=mp3; else ext=ac3 fmt=ac3; fi
    es_copy audio_sync ts "0:a:$((n - 1))" "$ext" "a$n.$ext"
    # Frame lengths as FFmpeg's parser splits the elementary stream.
    echo "$n $(ffprobe -v error -f $fmt -show_entries packet=size -of csv=p=0 "$OUT/audio_sync.a$n.$ext" | tr '\n' ' ')" \
        >> "$OUT/audio_sync.frames.txt"
done

h264_fixtures
start_fixtures

scripts/make_codec_fixtures.sh

echo "input fixtures: 204-byte packets, a recording in three parts"
python3 scripts/make_input_fixtures.py "$OUT"

echo "real captures copied from ../shared/samples (BSD 2-Clause, see LICENSE-samples.txt)"
SHARED=../shared/samples
if [ -d "$SHARED" ]; then
    for f in test-012.ts test-026.ts test-042.pack.ts test-043.pmtvct.ts test-143.ts test-042.sections.bin; do
        [ -f "$SHARED/$f" ] || continue
        sz=$(stat -c %s "$SHARED/$f")
        [ "$sz" -lt 1048576 ] || { echo "skip $f: $sz bytes" >&2; continue; }
        cp "$SHARED/$f" "$OUT/$f"
        chmod 644 "$OUT/$f"
    done
    cp "$SHARED/LICENSE-samples.txt" "$OUT/LICENSE-samples.txt"
    chmod 644 "$OUT/LICENSE-samples.txt"
fi
# All five are whole 188-byte packets (test-143's damage is inside the
# packets: continuity jumps, transport_error_indicator, mangled PIDs), so the
# plain stepping count applies.
for f in test-012.ts test-026.ts test-042.pack.ts test-043.pmtvct.ts test-143.ts; do
    if [ -f "$OUT/$f" ]; then
        python3 scripts/count_pids.py "$OUT/$f" > "$OUT/${f%.ts}.pids.txt"
    fi
done

echo "done"
