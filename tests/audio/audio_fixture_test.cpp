// The audio handlers on FFmpeg-made elementary streams and LPCM samples (tests/data).
#include <gtest/gtest.h>

#include <fstream>

#include "audio_frames.h"
#include "program.h"

using namespace kt;

namespace {

bytes fixture(const std::string& name) {
    const std::string path = test_data(name);
    return file_exists(path) ? read_file(path) : bytes{};
}

// The audio frame count of the fixture's .es.txt oracle ("frames N").
uint32_t oracle_frames(const std::string& name) {
    std::ifstream in(test_data(name + ".es.txt"));
    for (std::string line; std::getline(in, line);)
        if (line.rfind("frames ", 0) == 0) return uint32_t(std::stoul(line.substr(7)));
    return 0;
}

struct es_fixture {
    const char* name;
    const char* file;
    const audio_call& call;
    uint64_t first_pts;  // start_pts of the .probe.txt
    uint64_t ticks, threshold;
    std::string header;
    uint32_t (*frame_length)(const uint8_t* frame);
};

const es_fixture es_fixtures[] = {
    {"mpeg2_ac3_51", "mpeg2_ac3_51.ac3", ac3_call, 129120, 2880, 2800,
     "Audio Bitrate = 384000, Audio Sampling Rate = 48000\nAudio Mode = 3/2, bsid = 8, bsmod = 0\n",
     [](const uint8_t*) { return 1536u; }},
    {"mpeg2_ac3_44k", "mpeg2_ac3_44k.ac3", ac3_call, 129078, 3134, 2800,  // frmsizecod 20 or 21
     "Audio Bitrate = 192000, Audio Sampling Rate = 44100\nAudio Mode = 2/0, bsid = 8, bsmod = 0\n",
     [](const uint8_t* f) { return 834u + 2 * (f[4] & 1); }},
    {"mpeg2_mp2_2997", "mpeg2_mp2_2997.mp2", mpeg_call, 128101, 2160, 2160,
     "Audio Bitrate = 192000, Audio Sampling Rate = 48000\nAudio Mode = Stereo, mode_extension = 0\n"
     "Audio Emphasis = None, copyright = 0, original = 1\n",
     [](const uint8_t*) { return 576u; }},
};

}  // namespace

TEST(AudioFixtures, ElementaryStreamsPassWholeOrFromTheVideoStart) {
    for (const es_fixture& f : es_fixtures) {
        SCOPED_TRACE(f.name);
        const bytes es = fixture(f.file);
        if (es.empty()) GTEST_SKIP() << f.file << " absent";
        std::vector<size_t> starts;
        for (size_t at = 0; at + 5 <= es.size(); at += f.frame_length(&es[at])) starts.push_back(at);
        ASSERT_EQ(starts.size(), oracle_frames(f.name));

        const audio_result whole = run_audio(f.call, {{es, f.first_pts}}, 184, with_video(0));
        EXPECT_EQ(whole.report, f.header + first_audio_pts(f.first_pts));
        EXPECT_TRUE(whole.audio == es);

        // A video start 1000 ticks after frame 10: the first frame written is the first
        // whose PTS plus T exceeds it.
        const uint64_t video = f.first_pts + 10 * f.ticks + 1000;
        uint32_t first = 0;
        while (f.first_pts + first * f.ticks + f.threshold <= video) ++first;
        const uint64_t pts = f.first_pts + first * f.ticks;
        const audio_result aligned = run_audio(f.call, {{es, f.first_pts, video}});
        EXPECT_EQ(aligned.report, f.header + first_audio_pts(pts, video));
        EXPECT_TRUE(aligned.audio == slice(es, starts[first]));
    }
}

TEST(AudioFixtures, LpcmSamplesAsCarried) {
    // Stereo 16-bit: PES of 960 bytes; 5.1 24-bit: PES of 6480 bytes, 18-byte groups.
    struct lpcm_fixture { const char* file; uint32_t pes; uint16_t header; const char* lines; size_t group, kept; };
    const lpcm_fixture fixtures[] = {
        {"m2ts_lpcm_16.s16be", 960, 0x3140, "LPCM Audio Mode = 2/0\nLPCM Audio Bits/sample = 16\n", 4, 4},
        {"m2ts_lpcm_51_24.s24be", 6480, 0x91C0, "LPCM Audio Mode = 3/2+lfe\nLPCM Audio Bits/sample = 24\n", 18, 6}};
    for (const lpcm_fixture& f : fixtures) {
        SCOPED_TRACE(f.file);
        const bytes pcm = fixture(f.file);
        if (pcm.empty()) GTEST_SKIP() << f.file << " absent";
        ASSERT_EQ(pcm.size() % f.pes, 0u);
        std::vector<audio_unit> units;
        for (size_t at = 0; at < pcm.size(); at += f.pes) units.push_back({slice(pcm, at, at + f.pes), at, {}, f.header});
        const audio_result all = run_audio(lpcm_call, units);
        EXPECT_EQ(all.report, std::string(f.lines) + "LPCM Audio Sample Rate = 48000\n");
        EXPECT_TRUE(all.audio == pcm);
        bytes front;
        for (size_t at = 0; at < pcm.size(); at += f.group) front = front + slice(pcm, at, at + f.kept);
        EXPECT_TRUE(run_audio(lpcm_call, units, 184, [](context& c) { c.options.lpcm_two_channels = 1; }).audio == front);
    }
}
