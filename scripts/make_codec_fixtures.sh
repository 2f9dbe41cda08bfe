#!/usr/bin/env bash
# Build the audio codec fixtures in tests/data/ with FFmpeg: a small MPEG-2 video, 0.3 s
# after audio streams of today's broadcasts, so that the audio's first frames must be
# dropped. For each audio stream the elementary stream FFmpeg copies out (-c copy) is
# the oracle, and every packet's time stamp and size are listed (probe_facts.py).
#
#   codecs.ts      audio 1 MP3 stereo 44.1 kHz 128k        2 MP3 mono noise 48 kHz 64k
#                  3 MP3 stereo 24 kHz (MPEG-2) 64k        4 MP3 mono silence 22.05 kHz 32k
#                  5 DTS 5.1 48 kHz (stream_type 0x82)     6 AAC ADTS stereo 44.1 kHz 128k
#                  7 AAC ADTS mono silence 48 kHz 64k      8 E-AC-3 stereo 48 kHz 96k (0x87)
#   codecs_latm.ts audio 1 AAC LATM stereo 48 kHz 128k     2 AAC LATM mono silence 44.1 kHz
#   codecs_dvb.ts  audio 1 E-AC-3 5.1 under 0x06 with the enhanced AC-3 descriptor
#   mpeg1_mp2.ts   MPEG-1 video (no sequence extension) + MP2, the audio 0.3 s ahead
#   long_audio.ts  7 s for dropouts of seconds: audio 1 MP2 48 kHz 64k, 2 MP3 44.1 kHz 64k,
#                  3 DTS stereo 320k, 4 AC-3 64k, 5 AAC ADTS 44.1 kHz 64k, 6 E-AC-3 64k
#   long_latm.ts   7 s, AAC in LATM 48 kHz 64k
#
# MPEG-1/2 audio are counted first, then DTS (0x82), then AAC (0x0F) and E-AC-3 (0x87),
# which come last in kavel's numbering; the PMT order above is kavel's.
set -euo pipefail
cd "$(dirname "$0")/.."
OUT=tests/data
FF=(ffmpeg -hide_banner -loglevel error -nostdin -y -threads 1)
MUX=(-fflags +bitexact -f mpegts)
VIDEO=(-itsoffset 0.3 -f lavfi -i "testsrc=size=176x144:rate=25")
VENC=(-c:v mpeg2video -bf 2 -q:v 24 -g 12 -flags:v +bitexact)
ABX=(-flags:a +bitexact)
tone() { echo "aevalsrc=0.5*sin($2*2*PI*t)|0.5*sin($3*2*PI*t):s=$1:c=stereo"; }
tone51() { echo "aevalsrc=0.4*sin(440*2*PI*t)|0.4*sin(554*2*PI*t)|0.4*sin(659*2*PI*t)|0.4*sin(55*2*PI*t)|0.4*sin(880*2*PI*t)|0.4*sin(1109*2*PI*t):s=$1:c=5.1(side)"; }

probe() {   # probe NAME: every packet's time stamp and size
    python3 scripts/probe_facts.py --first 100000 "$OUT/$1.ts" > "$OUT/$1.probe.txt"
}
copy() {    # copy NAME STREAM FORMAT EXT [muxer options]
    local name=$1 n=$2 format=$3 ext=$4; shift 4
    "${FF[@]}" -i "$OUT/$name.ts" -map "0:a:$n" -c copy -f "$format" "$@" "$OUT/$name.a$((n + 1)).$ext"
}

echo "codecs: MP3, DTS, AAC in ADTS and E-AC-3 beside MPEG-2 video"
"${FF[@]}" "${VIDEO[@]}" \
    -f lavfi -i "$(tone 44100 440 660)" \
    -f lavfi -i "anoisesrc=color=white:sample_rate=48000:amplitude=0.5:seed=3" \
    -f lavfi -i "$(tone 24000 550 770)" \
    -f lavfi -i "anullsrc=channel_layout=mono:sample_rate=22050" \
    -f lavfi -i "$(tone51 48000)" \
    -f lavfi -i "$(tone 44100 330 495)" \
    -f lavfi -i "anullsrc=channel_layout=mono:sample_rate=48000" \
    -f lavfi -i "$(tone 48000 1000 1000)" \
    -t 1.2 -map 0:v -map 1:a -map 2:a -map 3:a -map 4:a -map 5:a -map 6:a -map 7:a -map 8:a \
    "${VENC[@]}" \
    -c:a:0 libmp3lame -b:a:0 128k -c:a:1 libmp3lame -b:a:1 64k -c:a:2 libmp3lame -b:a:2 64k \
    -c:a:3 libmp3lame -b:a:3 32k -c:a:4 dca -strict -2 -b:a:4 768k -c:a:5 aac -b:a:5 128k -c:a:6 aac -b:a:6 64k \
    -c:a:7 eac3 -b:a:7 96k "${ABX[@]}" "${MUX[@]}" "$OUT/codecs.ts"
probe codecs
# Without the ID3 tag and the Xing frame that the MP3 muxer adds of its own.
for n in 0 1 2 3; do copy codecs $n mp3 mp3 -write_xing 0 -id3v2_version 0; done
copy codecs 4 dts dts
copy codecs 5 adts aac
copy codecs 6 adts aac
copy codecs 7 eac3 eac3

echo "codecs_latm: AAC in LATM (stream_type 0x11)"
"${FF[@]}" "${VIDEO[@]}" -f lavfi -i "$(tone 48000 440 660)" \
    -f lavfi -i "anullsrc=channel_layout=mono:sample_rate=44100" \
    -t 1.2 -map 0:v -map 1:a -map 2:a "${VENC[@]}" -c:a aac -b:a:0 128k -b:a:1 64k "${ABX[@]}" \
    "${MUX[@]}" -mpegts_flags latm "$OUT/codecs_latm.ts"
probe codecs_latm
# The LOAS frames as carried: FFmpeg's LATM muxer copies LATM packets unchanged.
copy codecs_latm 0 latm latm
copy codecs_latm 1 latm latm

echo "codecs_dvb: E-AC-3 as DVB carries it (0x06 + enhanced AC-3 descriptor)"
"${FF[@]}" "${VIDEO[@]}" -f lavfi -i "$(tone51 48000)" -t 1.2 -map 0:v -map 1:a "${VENC[@]}" \
    -c:a eac3 -b:a 256k "${ABX[@]}" "${MUX[@]}" -mpegts_flags system_b "$OUT/codecs_dvb.ts"
probe codecs_dvb
copy codecs_dvb 0 eac3 eac3
echo "mpeg1_mp2: MPEG-1 video (stream_type 0x01) beside MP2"
"${FF[@]}" "${VIDEO[@]}" -f lavfi -i "$(tone 48000 440 660)" -t 1.2 -map 0:v -map 1:a \
    -c:v mpeg1video -bf 2 -q:v 24 -g 12 -flags:v +bitexact -c:a mp2 -b:a 128k "${ABX[@]}" "${MUX[@]}" \
    "$OUT/mpeg1_mp2.ts"
probe mpeg1_mp2

echo "long_audio, long_latm: 7 s of every aligned syntax, for dropouts of seconds"
"${FF[@]}" "${VIDEO[@]}" -f lavfi -i "$(tone 48000 440 660)" -f lavfi -i "$(tone 44100 550 770)" \
    -f lavfi -i "$(tone 48000 330 495)" -f lavfi -i "$(tone 44100 300 450)" -f lavfi -i "$(tone 48000 1000 1500)" \
    -f lavfi -i "$(tone 48000 600 900)" -t 7 -map 0:v -map 1:a -map 2:a -map 3:a -map 4:a -map 5:a -map 6:a \
    -c:v mpeg2video -bf 2 -q:v 31 -g 12 -flags:v +bitexact \
    -c:a:0 mp2 -b:a:0 64k -c:a:1 libmp3lame -b:a:1 64k -c:a:2 dca -strict -2 -b:a:2 320k \
    -c:a:3 aac -b:a:3 64k -c:a:4 ac3 -b:a:4 64k -c:a:5 eac3 -b:a:5 64k "${ABX[@]}" "${MUX[@]}" "$OUT/long_audio.ts"
"${FF[@]}" "${VIDEO[@]}" -f lavfi -i "$(tone 48000 440 660)" -t 7 -map 0:v -map 1:a \
    -c:v mpeg2video -bf 2 -q:v 31 -g 12 -flags:v +bitexact -c:a aac -b:a 64k "${ABX[@]}" "${MUX[@]}" \
    -mpegts_flags latm "$OUT/long_latm.ts"
echo done
