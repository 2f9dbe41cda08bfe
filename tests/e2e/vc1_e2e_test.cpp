// A whole run on a VC-1 program built from the bitstream syntax (no VC-1 encoder is at
// hand): interlaced 1080 video with 3:2 pulldown and AC-3 audio. Every output is
// compared whole with what the built stream holds; ffprobe, when installed, reads the
// same sequence header.
#include <gtest/gtest.h>

#include <algorithm>

#include "audio_frames.h"
#include "program.h"
#include "vc1_units.h"

using namespace kt;

namespace {

constexpr uint64_t frame_ticks = 3003;  // 29.97 Hz
constexpr uint64_t audio_ticks = 2880;  // AC-3 at 48 kHz
constexpr uint64_t first_pts = 900000;
// Audio begins 13400 ticks before the video: its frame 4 is the first that starts less
// than 2800 ticks before it (1880 ticks).
constexpr uint64_t audio_start_pts = first_pts - 13400;

struct built_program {
    bytes ts;
    bytes video;  // the elementary stream from the first sequence header, without end codes
    uint64_t max_video_pts = 0;
    uint64_t last_audio_pts = 0;
    uint32_t audio_frames = 0;  // AC-3 frames sent
};

// Video PES packets, one frame each, then audio PES packets, one AC-3 frame each, in the
// order of their time stamps once the first two frames of the output are sent.
built_program build() {
    using enum vc1_picture;
    vc1_sequence_layout s;
    s.pulldown = s.interlace = s.tfcntr = true;
    s.frame_rate_nr = 3;  // 30000 / 1001
    const bytes seq = vc1_sequence_header(s) + vc1_entry_point();

    // Coded order of a GOP: I P B B P B B, with its display positions; I as a field pair.
    const vc1_picture types[] = {I, P, B, B, P, B, B};
    const int display[] = {0, 3, 1, 2, 6, 4, 5};
    struct video_unit {
        bytes data;
        uint64_t pts, dts;
    };
    std::vector<video_unit> units;
    built_program out;
    uint64_t dts = first_pts - 2 * frame_ticks;
    // A capture entered mid-GOP: two B frames before the first sequence header.
    for (int k = 0; k < 2; ++k, dts += frame_ticks) units.push_back({vc1_frame(s, {B}), dts, dts});
    for (int gop = 0; gop < 3; ++gop) {
        const bytes end = gop == 0 ? bytes{} : vc1_end_of_sequence();
        for (int k = 0; k < 7; ++k, dts += frame_ticks) {
            const vc1_frame_layout f = {.type = types[k], .fcm = uint8_t(k == 0 ? 3 : 2), .tfcntr = uint8_t(gop * 7 + k),
                                        .rff = (gop * 7 + k) % 2 == 1, .size = uint32_t(300 + 40 * k)};
            const bytes data = (k == 0 ? seq : bytes{}) + vc1_frame(s, f);
            const uint64_t pts = first_pts + uint64_t(gop * 7 + display[k]) * frame_ticks;
            units.push_back({(k == 0 ? end : bytes{}) + data, pts, dts});
            out.video = out.video + data;
            out.max_video_pts = std::max(out.max_video_pts, pts);
        }
    }
    units.back().data = units.back().data + vc1_end_of_sequence();

    ts_writer w;
    vc1_program_tables(w);
    const bytes ac3 = ac3_frames(64);
    uint64_t audio_pts = audio_start_pts;
    size_t next_audio = 0;
    for (size_t u = 0; u < units.size(); ++u) {
        w.pes(vc1_video_pid, {0xFD, units[u].pts, units[u].dts, {}, units[u].data});
        if (u < 3) continue;  // the two frames before the start, and the first one after
        for (; next_audio < 64 && audio_pts <= units[u].dts; ++next_audio, audio_pts += audio_ticks) {
            w.pes(vc1_audio_pid, {0xBD, audio_pts, {}, {}, slice(ac3, next_audio * 1536, (next_audio + 1) * 1536)});
            out.last_audio_pts = audio_pts;
            out.audio_frames += 1;
        }
    }
    out.ts = w.out;
    return out;
}

}  // namespace

TEST(Vc1E2E, VideoFromTheFirstSequenceHeaderAndAudioAlignedToIt) {
    const built_program p = build();
    temp_dir dir;
    write_file(dir.file("vc1.ts"), p.ts);
    const program_result r = run_kavel({"-s", "vc1.ts", "1", "1", "1"}, dir.path());
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    const uint32_t audio_end = uint32_t(p.last_audio_pts + audio_ticks);
    const uint32_t video_end = uint32_t(p.max_video_pts + frame_ticks);
    const int32_t ending = int32_t(audio_end - video_end);
    EXPECT_EQ(r.out,
              "kavel Transport Stream Demuxer 1.01\n"
              "program = 1, video channel = 1, audio channel = 1\n"
              "Program Number = 1 (0x0001), Program Map PID = 256 (0x0100)\n"
              "Video PID = 4113 <0x1011>, type = 0xea\r\n"
              "Audio PID = 4352 <0x1100>, type = 0x81\r\n"
              "Sequence Header found\n"
              "2 frames before first I-frame\n"
              "Advanced Profile\nLevel = 3\nChroma Format = 4:2:0\n"
              "Horizontal size = 1920\nVertical size = 1080\nPulldown = 1\nInterlace = 1\n"
              "Display Horizontal size = 1920\nDisplay Vertical size = 1080\n"
              "Aspect ratio = 1:1 (square samples)\nFrame Rate = 29.970\n" +
                  strf("First Video PTS = 0x%08x\n", uint32_t(first_pts)) +
                  "Audio Bitrate = 384000, Audio Sampling Rate = 48000\n"
                  "Audio Mode = 3/2, bsid = 8, bsmod = 0\n" +
                  first_audio_pts(first_pts - 1880, first_pts) + "\n" + pid_count_lines(p.ts) +
                  "coded pictures = 21, video fields = 52\n" +  // 3:2 pulldown, odd frames RFF
                  strf("Ending audio to video PTS difference = %d ticks, %f milliseconds\n", ending,
                       ending / 90.0));
    EXPECT_TRUE(read_file(dir.file("bits0001.mpv")) == p.video);
    EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == slice(ac3_frames(p.audio_frames), 4 * 1536));

    expect_split_invariant(p.ts);  // the same in blocks of any size

    if (have_tool("ffprobe")) {
        // FFmpeg's parser reads the same sequence header in the built stream and at the
        // start of the video output.
        const std::string probe = "ffprobe -v error -show_entries stream=codec_name,width,height,r_frame_rate "
                                  "-of csv=p=0 ";
        EXPECT_EQ(run_shell(probe + "-select_streams v '" + dir.file("vc1.ts") + "' 2>/dev/null | head -1").out,
                  "vc1,1920,1080,30000/1001\n");
        EXPECT_EQ(run_shell(probe + "-f vc1 '" + dir.file("bits0001.mpv") + "' 2>/dev/null").out.substr(0, 14),
                  "vc1,1920,1080,");
    }
}
