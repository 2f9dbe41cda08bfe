// The WAV writer and the HDMV LPCM layouts, with FFmpeg as the oracle: FFmpeg encodes a
// tone of a different loudness on each channel as HDMV LPCM, kavel takes the samples out
// as carried, and the WAV file made of them must decode to what FFmpeg decodes from the
// stream itself, channel for channel, with the speaker layout FFmpeg gives the stream.
#include <gtest/gtest.h>

#include "audio/wav_writer.h"
#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

struct layout_case {
    const char* ffmpeg_layout;
    uint32_t channels, assignment, bits;
    const char* probed;  // ffprobe's channels and layout of the WAV file (none without a mask)
};

// 7.1 is 16-bit only: FFmpeg 5.1 writes 24-bit 7.1 as silence.
const layout_case cases[] = {{"mono", 1, 1, 16, "1,unknown"},   {"stereo", 2, 3, 16, "2,unknown"},
                             {"3.0", 3, 4, 24, "3,3.0"},        {"3.0(back)", 3, 5, 16, "3,3.0(back)"},
                             {"4.0", 4, 6, 24, "4,4.0"},        {"quad", 4, 7, 16, "4,quad"},
                             {"5.0", 5, 8, 24, "5,5.0"},        {"5.1", 6, 9, 24, "6,5.1"},
                             {"7.0", 7, 10, 16, "7,7.0"},       {"7.1", 8, 11, 16, "8,7.1"}};

bytes decoded(const temp_dir& dir, const std::string& file, uint32_t bits) {
    run_shell(strf("ffmpeg -nostdin -v error -i %s -map 0:a:0 -f s%ule -y %s", dir.file(file).c_str(), bits,
                   dir.file("raw").c_str()));
    return read_file(dir.file("raw"));
}

}  // namespace

TEST(WavWriter, HdmvLpcmLayoutsDecodeAsFfmpegDecodesTheStream) {
    if (!have_tool("ffmpeg") || !have_tool("ffprobe")) GTEST_SKIP() << "ffmpeg not found";
    for (const layout_case& c : cases) {
        SCOPED_TRACE(c.ffmpeg_layout);
        temp_dir dir;
        std::string tones;
        for (uint32_t k = 1; k <= c.channels; ++k) tones += strf("%s%u/16*sin(2*PI*440*t)", k > 1 ? "|" : "", k);
        const std::string encode = "ffmpeg -nostdin -v error -f lavfi -i 'aevalsrc=" + tones + ":c=" + c.ffmpeg_layout +
                                   ":s=48000:d=0.2' -c:a pcm_bluray -sample_fmt " + (c.bits == 16 ? "s16" : "s32") +
                                   " -f mpegts -mpegts_m2ts_mode 1 " + dir.file("in.m2ts");
        ASSERT_EQ(run_shell(encode).status, 0);
        const program_result run = run_kavel({"-hs", "in.m2ts", "1", "0", "1"}, dir.path());
        ASSERT_EQ(run.status, 0) << run.err;
        bytes samples = read_file(dir.file("bits0001.mpa"));

        // An odd number of groups, so that 24-bit 3.0 (9-byte frames) needs the pad byte.
        const hdmv_lpcm_layout& l = hdmv_lpcm_layout_of(c.assignment);
        const uint32_t w = c.bits / 8;
        const size_t groups = (samples.size() / (l.coded_channels * w) - 1) | 1;
        const size_t n = hdmv_lpcm_to_wav(samples.data(), groups * l.coded_channels * w, c.assignment, w);
        ASSERT_EQ(n, groups * c.channels * w);
        FILE* f = fopen(dir.file("out.wav").c_str(), "wb");
        ASSERT_TRUE(f);
        EXPECT_TRUE(wav_begin(f, l.channels, 48000, c.bits, l.channel_mask));
        fwrite(samples.data(), 1, n, f);
        EXPECT_TRUE(wav_finish(f, n));
        fclose(f);
        const bytes wav = read_file(dir.file("out.wav"));
        EXPECT_EQ(wav.size() % 2, 0u);
        EXPECT_EQ(wav[4] | wav[5] << 8 | wav[6] << 16 | uint32_t(wav[7]) << 24, wav.size() - 8);
        EXPECT_TRUE(decoded(dir, "out.wav", c.bits) == slice(decoded(dir, "in.m2ts", c.bits), 0, n));
        EXPECT_EQ(run_shell("ffprobe -v error -show_entries stream=channels,channel_layout -of csv=p=0 " + dir.file("out.wav")).out,
                  std::string(c.probed) + "\n");
    }
}
