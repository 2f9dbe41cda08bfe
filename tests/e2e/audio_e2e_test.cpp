// Whole runs on audio rich in false sync words (tests/data/audio_sync.*): as FFmpeg muxed
// it, re-cut into PES packets that begin anywhere in a frame, and re-cut to begin in the
// middle of a frame. The audio written must be FFmpeg's copy of the stream from the first
// frame whose time stamp plus T exceeds the first video PTS, the frame's time stamp taken
// from the PES packet it starts in (or its predecessor's plus one frame).
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "pes_streams.h"
#include "program.h"

using namespace kt;

namespace {

// Frame lengths of audio stream n, as FFmpeg's parser splits it (audio_sync.frames.txt).
std::vector<size_t> frame_starts(int n) {
    std::ifstream in(test_data("audio_sync.frames.txt"));
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        int stream = 0;
        fields >> stream;
        if (stream != n) continue;
        std::vector<size_t> starts;
        size_t at = 0;
        for (size_t size; fields >> size; at += size) starts.push_back(at);
        return starts;
    }
    ADD_FAILURE() << "no frame lengths for stream " << n;
    return {};
}

bool sync_at(const bytes& es, size_t i, bool mpeg) {
    return mpeg ? es[i] == 0xFF && (es[i + 1] & 0xFE) == 0xFC : es[i] == 0x0B && es[i + 1] == 0x77;
}

struct carried_case {
    std::string name;
    bytes ts, es;
    std::vector<size_t> starts;   // frame starts in es
    std::vector<uint64_t> times;  // frame time stamps
};

// The stream re-cut from byte `from` on, at the frame starts' second bytes, around false
// sync words and at random places.
carried_case recut(const bytes& ts, uint16_t pid, const carried_stream& c, const std::vector<size_t>& starts,
                   const std::vector<uint64_t>& times, size_t from, bool mpeg, uint64_t duration) {
    carried_case r{from ? "re-cut from the middle of a frame" : "re-cut", {}, slice(c.es, from), {}, {}};
    std::vector<uint64_t> own;
    for (size_t k = 0; k < starts.size(); ++k) {
        if (starts[k] < from) continue;
        r.starts.push_back(starts[k] - from);
        own.push_back(times[k]);
    }
    std::vector<size_t> cuts;
    std::mt19937 rng(uint32_t(pid + from));
    for (size_t at = 1 + rng() % 1400, falses = 0; at < r.es.size(); at += 1 + rng() % 1400) {
        cuts.push_back(at);
        for (size_t i = at; i + 2 < r.es.size() && i < at + 1400 && falses < 6; ++i) {
            if (!sync_at(r.es, i, mpeg)) continue;
            const bool real = std::binary_search(r.starts.begin(), r.starts.end(), i);
            if (!real) ++falses;
            cuts.push_back(i + 1 + (falses & 1));  // inside or just after the sync word
            at = i + 2;
            break;
        }
    }
    const std::vector<audio_unit> units = pes_cut(r.es, r.starts, cuts, own);
    std::vector<size_t> pes_starts = {0};
    std::vector<std::optional<uint64_t>> pes_pts;
    for (const audio_unit& u : units) {
        pes_starts.push_back(pes_starts.back() + u.data.size());
        pes_pts.push_back(u.pts);
    }
    r.ts = recarry(ts, pid, c.stream_id, units);
    r.times = frame_times(r.starts, pes_starts, pes_pts, duration);
    return r;
}

}  // namespace

TEST(AudioE2E, AudioStartsAtTheFrameOfTheFirstPictureWhereverThePesPacketsBegin) {
    struct stream_case { int n; uint32_t sample_rate; const char* lines; };
    const stream_case streams[] = {
        {1, 48000, "Audio Bitrate = 192000, Audio Sampling Rate = 48000\nAudio Mode = Single Channel, mode_extension = 0\n"},
        {2, 48000, "Audio Bitrate = 384000, Audio Sampling Rate = 48000\nAudio Mode = Stereo, mode_extension = 0\n"},
        {3, 44100, "Audio Bitrate = 256000, Audio Sampling Rate = 44100\nAudio Mode = Single Channel, mode_extension = 0\n"},
        {4, 32000, "Audio Bitrate = 160000, Audio Sampling Rate = 32000\nAudio Mode = Stereo, mode_extension = 0\n"},
        {5, 48000, "Audio Bitrate = 192000, Audio Sampling Rate = 48000\nAudio Mode = 2/0, bsid = 8, bsmod = 0\n"},
        {6, 44100, "Audio Bitrate = 448000, Audio Sampling Rate = 44100\nAudio Mode = 1/0, bsid = 8, bsmod = 0\n"},
        {7, 32000, "Audio Bitrate = 96000, Audio Sampling Rate = 32000\nAudio Mode = 1/0, bsid = 8, bsmod = 0\n"}};
    const bytes ts = read_file(test_data("audio_sync.ts"));
    const uint64_t video = probe_start_pts("audio_sync", "video");
    for (const stream_case& s : streams) {
        const bool mpeg = s.n <= 4;
        const std::string ext = mpeg ? "mp2" : "ac3";
        const uint64_t duration = (mpeg ? 103680000 : 138240000) / s.sample_rate, threshold = mpeg ? 2160 : 2800;
        const uint16_t pid = uint16_t(0x100 + s.n);
        const carried_stream c = read_carried_stream(ts, pid);
        ASSERT_TRUE(c.es == read_file(test_data("audio_sync.a" + std::to_string(s.n) + "." + ext))) << s.n;
        const std::vector<size_t> starts = frame_starts(s.n);
        const std::vector<uint64_t> times = frame_times(starts, c.starts, c.pts, duration);
        const carried_case cases[] = {{"as muxed", ts, c.es, starts, times},
                                      recut(ts, pid, c, starts, times, 0, mpeg, duration),
                                      recut(ts, pid, c, starts, times, starts[2] - 50, mpeg, duration)};
        for (const carried_case& k : cases) {
            SCOPED_TRACE(std::to_string(s.n) + " " + k.name);
            size_t first = 0;
            while (k.times[first] + threshold <= video) ++first;
            temp_dir dir;
            write_file(dir.file("in.ts"), k.ts);
            const program_result r = run_kavel({"-s", "in.ts", "1", "1", std::to_string(s.n)}, dir.path());
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_NE(r.out.find(s.lines), std::string::npos) << r.out;
            EXPECT_NE(r.out.find(first_audio_pts(k.times[first], video)), std::string::npos) << r.out;
            EXPECT_TRUE(read_file(dir.file("bits0001.mpa")) == slice(k.es, k.starts[first]))
                << "expected from frame " << first;
            expect_decodes(dir.file("bits0001.mpa"), mpeg ? "mp3" : "ac3");
        }
    }
}
