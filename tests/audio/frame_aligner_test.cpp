// The AC-3 / MPEG audio frame aligner, called directly as the PES layer would call it.
#include <gtest/gtest.h>

#include <random>

#include "audio_frames.h"

using namespace kt;

namespace {

struct variant_case {
    const char* name;
    const audio_call& call;
    const audio_call& per_byte;
    bytes (*frames)(uint32_t);
    uint32_t size;  // bytes per frame of `frames`
    uint64_t ticks, threshold;
    std::string header;
    bytes false_sync;  // a sync word and a valid header of a frame half as long (AC-3) or 384 bytes
};

const variant_case variants[] = {
    {"ac3", ac3_call, ac3_per_byte_call, ac3_frames, 1536, 2880, 2800,
     "Audio Bitrate = 384000, Audio Sampling Rate = 48000\nAudio Mode = 3/2, bsid = 8, bsmod = 0\n",
     {0x0B, 0x77, 0x00, 0x00, 0x14, 0x40, 0xE0}},
    {"mpeg", mpeg_call, mpeg_per_byte_call, mp2_frames, 576, 2160, 2160,
     "Audio Bitrate = 192000, Audio Sampling Rate = 48000\nAudio Mode = Stereo, mode_extension = 0\n"
     "Audio Emphasis = None, copyright = 0, original = 0\n",
     {0xFF, 0xFD, 0x84, 0x00}}};

constexpr uint64_t p0 = 90000;

}  // namespace

TEST(AudioAligner, ConfirmsAtTheExactDistanceOnly) {
    for (const variant_case& v : variants) {
        SCOPED_TRACE(v.name);
        const std::string header = v.header + first_audio_pts(p0);
        const bytes two = v.frames(2);
        EXPECT_EQ(run_audio(v.call, {{slice(two, 0, v.size + 1), p0}}, 184, with_video(0)).report, "");
        EXPECT_EQ(run_audio(v.call, {{slice(two, 0, v.size + 2), p0}}, 184, with_video(0)).report, header);

        // Frame 0 cut short by 100 bytes: its length on, frame 1 has no sync word, so the
        // candidate is dropped and the search resumes at frame 1's sync word inside it,
        // which frame 2 confirms; with video 0 the output starts there. A sync word after
        // the last frame whose header is no valid one ends it: what follows is dropped.
        const bytes frames = v.frames(4);
        const bytes garbage = slice(v.false_sync, 0, 2) + bytes{0x0B, 0x77, 0xFF, 0xFD, 0x00, 0x0B, 0x77, 0x12};
        const bytes in = bytes{1, 2, 3} + slice(frames, 0, v.size - 100) + slice(frames, v.size);
        const audio_result r =
            audio_split_invariant(v.call, {{in, p0}, {garbage, p0 + 3 * v.ticks}}, with_video(0));
        EXPECT_EQ(r.report, header);
        EXPECT_TRUE(r.audio == slice(frames, v.size));

        const audio_result quiet = run_audio(v.call, {{in, p0}}, 184, with_video(0), false);
        EXPECT_EQ(quiet.report, r.report);
        EXPECT_TRUE(quiet.audio.empty());
    }
}

TEST(AudioAligner, StartsAtTheFrameThatMatchesTheVideo) {
    for (const variant_case& v : variants) {
        SCOPED_TRACE(v.name);
        const bytes frames = v.frames(6);
        const uint64_t pts1 = p0 + v.ticks;
        // {first video PTS known from the start, first frame written}: a frame starting T
        // ticks or more before the video is dropped; a video PTS below the audio's drops none.
        const std::pair<uint64_t, uint32_t> cases[] = {{pts1 + v.threshold - 1, 1}, {pts1 + v.threshold, 2}, {p0 - 500, 0}};
        for (const auto& [video, first] : cases) {
            const std::vector<audio_unit> units = {{frames, p0, video}};
            const audio_result r = audio_split_invariant(v.call, units, with_video(1));
            EXPECT_EQ(r.report, v.header + first_audio_pts(p0 + first * v.ticks, video));
            EXPECT_TRUE(r.audio == slice(frames, first * v.size));
            EXPECT_EQ(run_audio(v.call, units, 184, with_video(1), false).report, r.report);
        }
        EXPECT_TRUE(run_audio(v.call, {{frames, p0}}, 184, with_video(1)).audio.empty());

        // A PTS in a call without bytes waits for the next sync word: frame 1 takes 2000000
        // and so meets the video (a new time base: no gap is filled before it).
        const std::vector<audio_unit> late = {{slice(frames, 0, 100), p0, 1999990}, {{}, 2000000}, {slice(frames, 100)}};
        const audio_result r = audio_split_invariant(v.call, late, with_video(1));
        EXPECT_EQ(r.report, v.header + first_audio_pts(2000000, 1999990));
        EXPECT_TRUE(r.audio == slice(frames, v.size));
    }
}

TEST(AudioAligner, RingLimits) {
    for (const variant_case& v : variants) {
        SCOPED_TRACE(v.name);
        // 131 frames before the video PTS is known: the 128 that the ring holds, frames
        // 3 to 130, are written, oldest first, whichever slot they sit in.
        const bytes frames = v.frames(133);
        const audio_result r = audio_split_invariant(
            v.call, {{slice(frames, 0, 131 * v.size), p0}, {slice(frames, 131 * v.size), {}, 0}}, with_video(1));
        EXPECT_EQ(r.report, v.header + first_audio_pts(p0 + 3 * v.ticks, 0));
        EXPECT_TRUE(r.audio == slice(frames, 3 * v.size));
        // The frame holding the video's first PTS in the ring's last slot, closed by one
        // in slot 0 after the lap: written.
        const uint64_t video = p0 + 127 * v.ticks + 10;
        const audio_result lap = audio_split_invariant(v.call, {{slice(frames, 0, 130 * v.size), p0, video}}, with_video(1));
        EXPECT_EQ(lap.report, v.header + first_audio_pts(p0 + 127 * v.ticks, video));
        EXPECT_TRUE(lap.audio == slice(frames, 127 * v.size, 130 * v.size));

        // Frames `lost` and the next damaged after the output started, those after them held
        // for frame 8's time stamp: the gap repeats the frame before them, in either slot
        // that frames take turns in (AC-3 gaps are filled with repeats).
        for (uint32_t lost = 4; lost < 6 && v.size == 1536; ++lost) {
            const bytes es = slice(frames, 0, lost * v.size + 100) + slice(frames, (lost + 1) * v.size + 500, 8 * v.size);
            const audio_result gap =
                audio_split_invariant(v.call, {{es, p0, p0}, {slice(frames, 8 * v.size, 10 * v.size), p0 + 8 * v.ticks}});
            const bytes last = slice(frames, (lost - 1) * v.size, lost * v.size);
            EXPECT_TRUE(gap.audio == slice(frames, 0, lost * v.size) + last + last + slice(frames, (lost + 2) * v.size, 10 * v.size));
        }

        // 5000 stray bytes after frame 1: frame 1 has no successor a frame on and is
        // dropped; the search finds frame 2 among the bytes after it.
        const bytes in = slice(frames, 0, 2 * v.size) + repeat(0x33, 5000) + slice(frames, 2 * v.size, 4 * v.size);
        const bytes later = v.frames(1);
        const audio_result cut = audio_split_invariant(v.call, {{in, p0}, {later, {}, 0}}, with_video(1));
        EXPECT_EQ(cut.report, v.header + first_audio_pts(p0, 0));
        EXPECT_TRUE(cut.audio == slice(frames, 0, v.size) + slice(frames, 2 * v.size, 4 * v.size) + later);
    }
}

TEST(AudioAligner, HeaderReportLines) {
    const char* ac3_modes[] = {"1+1", "1/0", "2/0", "3/0", "2/1", "3/1", "2/2", "3/2"};
    for (uint8_t acmod = 0; acmod < 8; ++acmod) {
        const bytes f = ac3_frame(1536, 0x1C, uint8_t(0x50 | acmod), uint8_t(acmod << 5), 0x33);
        EXPECT_EQ(run_audio(ac3_call, {{f + f, p0}}, 184, with_video(0), false).report,
                  "Audio Bitrate = 384000, Audio Sampling Rate = 48000\n" +
                      strf("Audio Mode = %s, bsid = 10, bsmod = %d\n", ac3_modes[acmod], acmod) +
                      "First Audio PTS = 0x00015f90\n");
    }
    const char* modes[] = {"Stereo", "Joint Stereo", "Dual Channel", "Single Channel"};
    const char* emphases[] = {"None", "50/15 usec", "Reserved", "CCITT J.17"};
    for (int m = 0; m < 4; ++m) {
        // 32 kHz 384 kbit/s (1728 bytes); mode_extension 3 - m, copyright and original
        // the bits of m, emphasis m.
        const bytes f = mp2_frame(1728, 0xE8, uint8_t(m << 6 | (3 - m) << 4 | (m & 1) << 3 | (m >> 1) << 2 | m), 0x33);
        EXPECT_EQ(run_audio(mpeg_call, {{f + f, p0}}, 184, with_video(0), false).report,
                  "Audio Bitrate = 384000, Audio Sampling Rate = 32000\n" +
                      strf("Audio Mode = %s, mode_extension = %d\n", modes[m], 3 - m) +
                      strf("Audio Emphasis = %s, copyright = %d, original = %d\n", emphases[m], m & 1, m >> 1) +
                      "First Audio PTS = 0x00015f90\n");
    }
}

TEST(AudioAligner, PaddedFramesAt44100HzKeepTheirBoundaries) {
    // AC-3 192 kbit/s: 834 bytes (frmsizecod 20) or 836 (21); Layer II 192 kbit/s: 626
    // bytes or 627 with the padding bit. 3134 and 2351 ticks per frame. Frame 3 starts at
    // the video PTS, frame 2 more than T before it.
    const int padded[] = {0, 1, 1, 0, 1, 1, 1, 0};
    bytes ac3, mp2;
    size_t ac3_at3 = 0, mp2_at3 = 0;
    for (int i = 0; i < 8; ++i) {
        if (i == 3) ac3_at3 = ac3.size(), mp2_at3 = mp2.size();
        ac3 = ac3 + ac3_frame(834 + 2 * padded[i], uint8_t(0x54 + padded[i]), 0x40, 0x40, uint8_t(0x20 + i));
        mp2 = mp2 + mp2_frame(626 + padded[i], uint8_t(0xA0 + 2 * padded[i]), 0xC0, uint8_t(0x20 + i));
    }
    const std::string rates = "Audio Bitrate = 192000, Audio Sampling Rate = 44100\n";
    const audio_result a = audio_split_invariant(ac3_call, {{ac3, p0, p0 + 3 * 3134}}, with_video(1));
    EXPECT_EQ(a.report,
              rates + "Audio Mode = 2/0, bsid = 8, bsmod = 0\n" + first_audio_pts(p0 + 3 * 3134, p0 + 3 * 3134));
    EXPECT_TRUE(a.audio == slice(ac3, ac3_at3));
    const audio_result m = audio_split_invariant(mpeg_call, {{mp2, p0, p0 + 3 * 2351}}, with_video(1));
    EXPECT_EQ(m.report, rates + "Audio Mode = Single Channel, mode_extension = 0\n"
                                "Audio Emphasis = None, copyright = 0, original = 0\n" +
                            first_audio_pts(p0 + 3 * 2351, p0 + 3 * 2351));
    EXPECT_TRUE(m.audio == slice(mp2, mp2_at3));
}

namespace {

// Frames with false sync words (valid headers of another length) at offsets 50 and 300,
// after the tail of such a frame from offset 40 on; `starts` gets the real frame starts.
bytes with_false_syncs(const variant_case& v, uint32_t count, std::vector<size_t>& starts) {
    bytes out;
    const bytes frames = v.frames(count + 1);
    for (uint32_t k = 0; k <= count; ++k) {
        bytes f = slice(frames, k * v.size, (k + 1) * v.size);
        for (size_t at : {50, 300}) std::copy(v.false_sync.begin(), v.false_sync.end(), f.begin() + long(at));
        if (std::string(v.name) == "ac3") seal_ac3(f);
        if (k > 0) starts.push_back(out.size());
        out = out + (k == 0 ? slice(f, 40) : f);
    }
    return out;
}

}  // namespace

TEST(AudioAligner, FalseSyncWordsInsideFramesAndPesCutsAnywhere) {
    for (const variant_case& v : variants) {
        SCOPED_TRACE(v.name);
        std::vector<size_t> starts;
        const bytes es = with_false_syncs(v, 8, starts);
        // PES cuts: between the two bytes of a sync word, just after a false one, right
        // after a frame start, and random ones.
        std::vector<std::vector<size_t>> cut_sets = {
            {starts[1] + 1, starts[2] + 52, starts[3] + 301, starts[4] + 2},
            {starts[0] - 100, starts[0] + 51, starts[2] + 1, starts[3] + 1},
            {}};
        std::mt19937 rng(5);
        for (int n = 0; n < 4; ++n) {
            std::vector<size_t> cuts;
            for (size_t at = 1 + rng() % 700; at < es.size(); at += 1 + rng() % 700) cuts.push_back(at);
            cut_sets.push_back(cuts);
        }
        // Frame 3 is the first to end after the video starts; frame 0 with no video.
        const uint64_t video = p0 + 3 * v.ticks + 10;
        for (const auto& cuts : cut_sets) {
            std::vector<uint64_t> times;
            for (size_t k = 0; k < starts.size(); ++k) times.push_back(p0 + k * v.ticks);
            std::vector<audio_unit> units = pes_cut(es, starts, cuts, times);
            units[0].video_pts = video;
            const audio_result r = audio_split_invariant(v.call, units, with_video(1));
            EXPECT_EQ(r.report, v.header + first_audio_pts(p0 + 3 * v.ticks, video));
            EXPECT_TRUE(r.audio == slice(es, starts[3]));
            const audio_result all = audio_split_invariant(v.call, units, with_video(0));
            EXPECT_EQ(all.report, v.header + first_audio_pts(p0));
            EXPECT_TRUE(all.audio == slice(es, starts[0]));
        }
    }
}

TEST(AudioAligner, PerByteMachineGivesTheSameResults) {
    // Random streams of whole, cut and false frames, lead bytes and garbage, cut into PES
    // payloads with random time stamps; the first video PTS arrives at a random payload.
    std::mt19937 rng(17);
    for (const variant_case& v : variants) {
        SCOPED_TRACE(v.name);
        const bytes frames = v.frames(4);
        for (int round = 0; round < 150; ++round) {
            bytes es;
            while (es.size() < 6000) {
                const size_t from = rng() % 3 == 0 ? rng() % v.size : 0;
                switch (rng() % 5) {
                case 0: es = es + slice(frames, from, v.size); break;
                case 1: es = es + slice(frames, v.size, v.size + from + 7); break;
                case 2: es = es + v.false_sync; break;
                case 3: es = es + repeat(v.false_sync[0], 1 + rng() % 3); break;
                default: for (uint32_t n = rng() % 300; n > 0; --n) es.push_back(uint8_t(rng())); break;
                }
            }
            std::vector<audio_unit> units;
            for (size_t at = 0; at < es.size();) {
                const size_t n = rng() % 4 == 0 ? 0 : 1 + rng() % 900;
                audio_unit u{slice(es, at, at + n)};
                if (rng() % 3) u.pts = p0 + rng() % 20000;
                units.push_back(u);
                at += n;
            }
            units[rng() % units.size()].video_pts = p0 + rng() % 20000;
            const int32_t video_index = rng() % 4 == 0 ? 0 : 1;
            const audio_result fast = run_audio(v.call, units, 0, with_video(video_index));
            const audio_result plain = run_audio(v.per_byte, units, 1 + rng() % 200, with_video(video_index));
            ASSERT_EQ(fast.report, plain.report) << round;
            ASSERT_TRUE(fast.audio == plain.audio) << round;
        }
    }
}
