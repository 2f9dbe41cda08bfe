// Whole runs on FFmpeg-made streams: what kavel writes is checked against the elementary
// streams FFmpeg copies out of the same files, against the time stamps ffprobe reads,
// and by FFmpeg decoding the output.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "feeder.h"
#include "program.h"

using namespace kt;

namespace {

bytes slice_from(const bytes& b, size_t at) { return at < b.size() ? bytes(b.begin() + at, b.end()) : bytes{}; }

std::string hex_pts(uint64_t pts) { return strf("0x%08x", uint32_t(pts)); }

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The payload bytes of a stream of PES packets written with option z: each header is
// 00 00 01, a stream_id among `ids`, the length, two flag bytes (the first 10xxxxxx) and
// the header data; the payload runs up to the next such header.
bytes strip_pes_headers(const bytes& in, std::initializer_list<uint8_t> ids) {
    auto header_at = [&](size_t i) {
        if (i + 9 > in.size() || in[i] != 0 || in[i + 1] != 0 || in[i + 2] != 1 || (in[i + 6] & 0xC0) != 0x80)
            return false;
        for (uint8_t id : ids)
            if (in[i + 3] == id) return true;
        return false;
    };
    bytes out;
    size_t i = 0;
    while (i < in.size()) {
        if (header_at(i)) {
            i += 9 + in[i + 8];
            continue;
        }
        out.push_back(in[i++]);
    }
    return out;
}

struct av_case {
    std::string fixture;      // the .ts
    std::string oracle;       // fixture whose .m2v and audio ES apply
    std::string audio_ext;    // ac3 or mp2
    uint32_t frame_ticks;     // audio frame duration
    uint32_t threshold;       // T
    std::vector<uint32_t> frame_sizes;  // bytes of each frame, cycled from the first
    std::string audio_lines;  // the header report
    std::string video_lines;
    std::string count_line;
};

size_t audio_start_offset(const av_case& c, uint64_t audio_pts, uint64_t video_pts, uint64_t* start_pts) {
    size_t offset = 0;
    uint64_t pts = audio_pts;
    for (size_t k = 0; pts + c.threshold <= video_pts; ++k) {
        offset += c.frame_sizes[k % c.frame_sizes.size()];
        pts += c.frame_ticks;
    }
    *start_pts = pts;
    return offset;
}

const std::string ac3_51_lines = "Audio Bitrate = 384000, Audio Sampling Rate = 48000\nAudio Mode = 3/2, bsid = 8, bsmod = 0\n";
const std::string mp2_lines =
    "Audio Bitrate = 192000, Audio Sampling Rate = 48000\nAudio Mode = Stereo, mode_extension = 0\n"
    "Audio Emphasis = None, copyright = 0, original = 1\n";
const std::string pal_lines =
    "Horizontal size = 720\nVertical size = 576\nAspect ratio = 4:3\nFrame rate = 25\n"
    "Sequence header bitrate = 1000000 bps\nProgressive Sequence = 0\n";
const std::string ntsc_lines =
    "Horizontal size = 720\nVertical size = 480\nAspect ratio = 16:9\nFrame rate = 29.97\n"
    "Sequence header bitrate = 1000000 bps\nProgressive Sequence = 1\n";

std::vector<av_case> av_cases() {
    std::vector<uint32_t> ac3_44k = {834, 834, 834};
    ac3_44k.resize(58, 836);  // the encoder's first three frames are one word short
    return {
        {"mpeg2_ac3_51", "mpeg2_ac3_51", "ac3", 2880, 2800, {1536}, ac3_51_lines, pal_lines,
         "coded pictures = 50, video fields = 100\n"},
        {"mpeg2_ac3_51_dvb", "mpeg2_ac3_51", "ac3", 2880, 2800, {1536}, ac3_51_lines, pal_lines,
         "coded pictures = 50, video fields = 100\n"},
        {"mpeg2_ac3_51_late_video", "mpeg2_ac3_51", "ac3", 2880, 2800, {1536}, ac3_51_lines, pal_lines,
         "coded pictures = 50, video fields = 100\n"},
        {"mpeg2_mp2_2997", "mpeg2_mp2_2997", "mp2", 2160, 2160, {576}, mp2_lines, ntsc_lines,
         "coded pictures = 60, video frames = 60\n"},
        {"mpeg2_mp2_2997_late_video", "mpeg2_mp2_2997", "mp2", 2160, 2160, {576}, mp2_lines, ntsc_lines,
         "coded pictures = 60, video frames = 60\n"},
        {"mpeg2_ac3_44k", "mpeg2_ac3_44k", "ac3", 3134, 2800, ac3_44k,
         "Audio Bitrate = 192000, Audio Sampling Rate = 44100\nAudio Mode = 2/0, bsid = 8, bsmod = 0\n",
         "Horizontal size = 352\nVertical size = 288\nAspect ratio = 4:3\nFrame rate = 25\n"
         "Sequence header bitrate = 1000000 bps\nProgressive Sequence = 1\n",
         "coded pictures = 50, video frames = 50\n"},
    };
}

}  // namespace

TEST(StreamsE2E, VideoAndAlignedAudioMatchTheMuxersElementaryStreams) {
    for (const av_case& c : av_cases()) {
        SCOPED_TRACE(c.fixture);
        temp_dir dir;
        const program_result r = run_kavel({"-s", test_data(c.fixture + ".ts"), "1", "1", "1"}, dir.path());
        ASSERT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");

        // Every sequence header of these streams is followed by a GOP header and none
        // ends with an end code, so the video goes out exactly as FFmpeg copies it.
        const bytes video = read_file(dir.file("bits0001.mpv"));
        EXPECT_TRUE(video == read_file(test_data(c.oracle + ".m2v"))) << "video differs";
        EXPECT_TRUE(contains(r.out, "Sequence Header found\n0 frames before first Sequence Header\n" + c.video_lines));
        const uint64_t video_pts = probe_start_pts(c.fixture, "video");
        EXPECT_TRUE(contains(r.out, "First Video PTS = " + hex_pts(video_pts) + "\n"));
        EXPECT_TRUE(contains(r.out, c.count_line));

        // Audio starts with the first frame that begins less than T before the video.
        const uint64_t audio_pts = probe_start_pts(c.fixture, "audio");
        uint64_t start_pts = 0;
        const size_t offset = audio_start_offset(c, audio_pts, video_pts, &start_pts);
        const bytes audio = read_file(dir.file("bits0001.mpa"));
        const bytes oracle = read_file(test_data(c.oracle + "." + c.audio_ext));
        EXPECT_TRUE(audio == slice_from(oracle, offset)) << "audio differs; expected from byte " << offset;
        const int32_t difference = int32_t(uint32_t(start_pts) - uint32_t(video_pts));
        EXPECT_GT(difference, -int32_t(c.threshold));
        EXPECT_LT(difference, int32_t(c.frame_ticks));
        EXPECT_TRUE(contains(r.out, c.audio_lines));
        EXPECT_TRUE(contains(r.out, "First Audio PTS = " + hex_pts(start_pts) + ", " + std::to_string(difference) + "\n"));

        expect_decodes(dir.file("bits0001.mpv"), "mpegvideo");
        expect_decodes(dir.file("bits0001.mpa"), c.audio_ext == "mp2" ? "mp3" : c.audio_ext);
    }
}

TEST(StreamsE2E, WithoutVideoTheAudioStartsAtItsFirstFrame) {
    temp_dir dir;
    const program_result r = run_kavel({"-s", test_data("mpeg2_ac3_51_late_video.ts"), "1", "0", "1"}, dir.path());
    EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == read_file(test_data("mpeg2_ac3_51.ac3")));
    EXPECT_TRUE(contains(r.out, "First Audio PTS = " + hex_pts(probe_start_pts("mpeg2_ac3_51_late_video", "audio")) + "\n"));
    EXPECT_EQ(read_file(dir.file("bits0001.mpv")).size(), 0u);
    EXPECT_TRUE(contains(r.out, "coded pictures = 0, video fields = 0\n"));
}

TEST(StreamsE2E, ProgramListAndStreamChoice) {
    temp_dir dir;
    // Program 7, its video and its second audio stream (MPEG audio, mono).
    const program_result r = run_kavel({"-s", test_data("multi_program.ts"), "7", "1", "2"}, dir.path());
    EXPECT_TRUE(contains(r.out,
                         "Program Number = 1 (0x0001), Program Map PID = 4096 (0x1000)\n"
                         "Program Number = 7 (0x0007), Program Map PID = 4097 (0x1001)\n"
                         "Program Number = 3 (0x0003), Program Map PID = 4098 (0x1002)\n"));
    EXPECT_TRUE(contains(r.out,
                         "Video PID =  257 <0x0101>, type = 0x02\r\n"
                         "ES descriptor for stream type 0x81 = 0x05, 0x04, 0x41, 0x43, 0x2d, 0x33\n"
                         "Audio PID =  260 <0x0104>, type = 0x03\r\n"));
    EXPECT_TRUE(read_file(dir.file("bits0001.mpv")) == read_file(test_data("multi_program.pid257.m2v")));
    const bytes audio = read_file(dir.file("bits0001.mpa"));
    const bytes oracle = read_file(test_data("multi_program.pid260.mp2"));
    ASSERT_FALSE(audio.empty());
    // The output is a tail of the stream starting at a frame.
    ASSERT_LE(audio.size(), oracle.size());
    EXPECT_TRUE(audio == slice_from(oracle, oracle.size() - audio.size()));
    EXPECT_TRUE(contains(r.out, "Audio Mode = Single Channel, mode_extension = 0\n"));

    // Its first audio stream: AC-3 stereo at 48 kHz.
    const program_result first = run_kavel({"-s", test_data("multi_program.ts"), "7", "1", "1"}, dir.path());
    EXPECT_TRUE(contains(first.out, "Audio PID =  259 <0x0103>, type = 0x81\r\n"));
    EXPECT_TRUE(contains(first.out, "Audio Bitrate = 192000, Audio Sampling Rate = 48000\nAudio Mode = 2/0, bsid = 8, bsmod = 0\n"));
    const bytes ac3 = read_file(dir.file("bits0001.mpa"));
    const bytes ac3_oracle = read_file(test_data("multi_program.pid259.ac3"));
    ASSERT_FALSE(ac3.empty());
    ASSERT_LE(ac3.size(), ac3_oracle.size());
    EXPECT_EQ((ac3_oracle.size() - ac3.size()) % 768, 0u);  // whole 192 kbit/s frames dropped
    EXPECT_TRUE(ac3 == slice_from(ac3_oracle, ac3_oracle.size() - ac3.size()));
    expect_decodes(dir.file("bits0001.mpa"), "ac3");
}

TEST(StreamsE2E, TimeStampLinesFollowThePesHeaders) {
    temp_dir dir;
    const program_result r = run_kavel({"-psva", test_data("mpeg2_ac3_51.ts"), "1", "1", "1"}, dir.path());
    // The first pictures in coded order: I (PTS and DTS), P (PTS and DTS), then B
    // pictures, whose PTS equals their DTS and is sent alone.
    const std::string video = lines_starting_with(r.out, {"Video PTS("});
    size_t fourth = 0;
    for (int n = 0; n < 4; ++n) fourth = video.find('\n', fourth) + 1;
    EXPECT_EQ(video.substr(0, fourth),
              "Video PTS(P) = 129600, DTS(P) = 126000\n"
              "Video PTS(P) = 140400, DTS(P) = 129600, 3600\n"
              "Video PTS(B) = 133200, 3600\n"
              "Video PTS(B) = 136800, 3600\n");
    EXPECT_TRUE(contains(r.out, "Audio PTS = 129120, 129120\r\n"));
    EXPECT_EQ(std::count(video.begin(), video.end(), '\n'), 50);  // one PES packet per picture
    // The ending difference comes from the largest time stamps and the last steps.
    EXPECT_TRUE(contains(r.out, "Ending audio to video PTS difference = "));
    EXPECT_FALSE(contains(r.out, "Ending audio to video PTS difference = 0 ticks"));
}

TEST(StreamsE2E, PesOutputCarriesTheHeadersAroundTheSameStreams) {
    temp_dir plain, pes;
    run_kavel({"-s", test_data("mpeg2_ac3_51.ts"), "1", "1", "1"}, plain.path());
    run_kavel({"-sz", test_data("mpeg2_ac3_51.ts"), "1", "1", "1"}, pes.path());
    const bytes video_pes = read_file(pes.file("bits0001.mpv"));
    ASSERT_GE(video_pes.size(), 9u);
    EXPECT_EQ(video_pes[3], 0xE0);
    EXPECT_TRUE(strip_pes_headers(video_pes, {0xE0}) == read_file(plain.file("bits0001.mpv")));
    const bytes audio_pes = read_file(pes.file("bits0001.mpa"));
    ASSERT_GE(audio_pes.size(), 9u);
    EXPECT_EQ(audio_pes[3], 0xBD);
    EXPECT_TRUE(strip_pes_headers(audio_pes, {0xBD}) == read_file(plain.file("bits0001.mpa")));
}

TEST(StreamsE2E, HdmvLpcmSamplesAsCarried) {
    struct lpcm_case {
        std::string fixture, oracle, lines, count_line;
        size_t group, keep;  // bytes per group of channel samples, and bytes kept with option 2
    };
    const std::vector<lpcm_case> cases = {
        {"m2ts_lpcm_16", "m2ts_lpcm_16.s16be",
         "LPCM Audio Mode = 2/0\nLPCM Audio Bits/sample = 16\nLPCM Audio Sample Rate = 48000\n",
         "coded pictures = 30, video frames = 30\n", 4, 4},
        {"m2ts_lpcm_51_24", "m2ts_lpcm_51_24.s24be",
         "LPCM Audio Mode = 3/2+lfe\nLPCM Audio Bits/sample = 24\nLPCM Audio Sample Rate = 48000\n",
         "coded pictures = 10, video fields = 20\n", 18, 6},
    };
    for (const lpcm_case& c : cases) {
        SCOPED_TRACE(c.fixture);
        const bytes samples = read_file(test_data(c.oracle));
        temp_dir dir;
        program_result r = run_kavel({"-sh", test_data(c.fixture + ".m2ts"), "1", "1", "1"}, dir.path());
        EXPECT_TRUE(contains(r.out, "Audio PID = 4352 <0x1100>, type = 0x80\r\n"));
        EXPECT_TRUE(contains(r.out, c.lines));
        EXPECT_TRUE(contains(r.out, c.count_line));
        EXPECT_FALSE(contains(r.out, "resync"));
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == samples);
        EXPECT_TRUE(read_file(dir.file("bits0001.mpv")) == read_file(test_data(c.fixture + ".m2v")));

        r = run_kavel({"-sh2", test_data(c.fixture + ".m2ts"), "1", "1", "1"}, dir.path());
        bytes two;
        for (size_t at = 0; at + c.group <= samples.size(); at += c.group)
            two.insert(two.end(), samples.begin() + at, samples.begin() + at + c.keep);
        EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == two);
    }
}

TEST(StreamsE2E, SampleStreamOfTheReadme) {
    const std::string sample = std::string(KAVEL_SOURCE_DIR) + "/samples/sample.ts";
    temp_dir dir;
    const program_result r = run_kavel({sample, "1", "1", "1"}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "Sequence Header found\n"));
    EXPECT_TRUE(contains(r.out, "First Audio PTS = "));
    EXPECT_GT(read_file(dir.file("bits0001.mpv")).size(), 500000u);
    EXPECT_GT(read_file(dir.file("bits0001.mpa")).size(), 100000u);
    expect_decodes(dir.file("bits0001.mpv"), "mpegvideo");
    expect_decodes(dir.file("bits0001.mpa"), "ac3");
}
